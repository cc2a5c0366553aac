// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/network_port.h"
#include "serial/serial_backend.h"

#include <cerrno>

namespace merovan {

namespace {

// Chooses, at each open, the backend the port name asks for: a network
// port for rfc2217://, tcp:// and socket:// names, the system's device
// backend for everything else.
class RoutingBackend final : public SerialBackend
{
public:
    int open(const std::string& path, std::string& reason) override
    {
        close();
        if (isNetworkPortName(path)) {
            if (!m_network)
                m_network = makeNetworkBackend();
            m_active = m_network.get();
        } else {
            if (!m_device)
                m_device = makeDeviceBackend();
            m_active = m_device.get();
        }
        return m_active->open(path, reason);
    }

    void close() override
    {
        if (m_active)
            m_active->close();
    }

    bool isOpen() const override { return m_active && m_active->isOpen(); }

    int applyLine(const LineParams& params, std::string& reason) override
    {
        return m_active ? m_active->applyLine(params, reason) : EBADF;
    }
    std::uint32_t appliedBaud() const override { return m_active ? m_active->appliedBaud() : 0; }
    int setModemLine(ModemLine line, bool on) override { return m_active ? m_active->setModemLine(line, on) : EBADF; }
    ReadResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        if (!m_active) {
            ReadResult r;
            r.error = EBADF;
            return r;
        }
        return m_active->read(buffer, timeoutMs);
    }
    int write(std::span<const std::uint8_t> bytes) override { return m_active ? m_active->write(bytes) : EBADF; }
    int writeWithin(std::span<const std::uint8_t> bytes, int timeoutMs, std::size_t& taken) override
    {
        taken = 0;
        return m_active ? m_active->writeWithin(bytes, timeoutMs, taken) : EBADF;
    }
    std::uint64_t deviceId() const override { return m_active ? m_active->deviceId() : 0; }
    int waitSent(int timeoutMs) override { return m_active ? m_active->waitSent(timeoutMs) : 0; }
    std::size_t outputQueued() const override { return m_active ? m_active->outputQueued() : 0; }
    int modemLines(ModemStatus& status) override { return m_active ? m_active->modemLines(status) : EBADF; }
    int sendBreak() override { return m_active ? m_active->sendBreak() : EBADF; }
    int nativeHandle() const override { return m_active ? m_active->nativeHandle() : -1; }
    void discardInput() override
    {
        if (m_active)
            m_active->discardInput();
    }
    std::string takeNotice() override { return m_active ? m_active->takeNotice() : std::string(); }

private:
    std::unique_ptr<SerialBackend> m_device;
    std::unique_ptr<SerialBackend> m_network;
    SerialBackend* m_active = nullptr;
};

} // namespace

std::unique_ptr<SerialBackend> makeSystemBackend()
{
    return std::make_unique<RoutingBackend>();
}

} // namespace merovan
