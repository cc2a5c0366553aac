#include "device_model.h"

#include <string_view>

namespace devsim {

namespace {
constexpr std::string_view kGreeting = "devsim ready\r\n";
}

void DeviceModel::lineOpened(std::uint64_t, DeviceOutput&) {}
void DeviceModel::lineClosed(std::uint64_t) {}
void DeviceModel::tick(std::uint64_t, DeviceOutput&) {}
std::uint64_t DeviceModel::nextDeadline() const
{
    return kNoDeadline;
}

EchoDevice::EchoDevice(DeviceOptions options)
    : m_options(options)
{
}

void EchoDevice::lineOpened(std::uint64_t, DeviceOutput& out)
{
    if (m_options.greeting)
        out.bytes.insert(out.bytes.end(), kGreeting.begin(), kGreeting.end());
}

void EchoDevice::receive(std::uint8_t byte, std::uint64_t, DeviceOutput& out)
{
    if (m_options.echo)
        out.bytes.push_back(byte);
    if (m_options.ack < 0 && m_options.error < 0)
        return;
    if (byte != '\r') {
        if (m_line.size() < 1 << 20)
            m_line.push_back(static_cast<char>(byte));
        return;
    }
    const bool failed = m_options.error >= 0
        && (m_options.errorOn.empty() || m_line.find(m_options.errorOn) != std::string::npos);
    if (failed)
        out.bytes.push_back(static_cast<std::uint8_t>(m_options.error));
    else if (m_options.ack >= 0)
        out.bytes.push_back(static_cast<std::uint8_t>(m_options.ack));
    m_line.clear();
}

std::unique_ptr<DeviceModel> makeDevice(const DeviceOptions& options)
{
    return std::make_unique<EchoDevice>(options);
}

} // namespace devsim
