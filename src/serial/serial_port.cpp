// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"

#include "common/system_error.h"
#include "common/text_value.h"
#include "serial/port_enumeration.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace merovan {

namespace {

constexpr int kReadTimeoutMs = 2;
constexpr std::uint32_t kSettleAfterOpenMs = 500;

} // namespace

SerialPort::SerialPort(Clock& clock, std::unique_ptr<SerialBackend> backend)
    : m_clock(clock)
    , m_backend(std::move(backend))
{
}

SerialPort::~SerialPort()
{
    closePort();
}

int SerialPort::fail(int error, std::string reason)
{
    m_lastError = std::move(reason);
    return error;
}

int SerialPort::openPort(const std::string& path, std::string_view settings)
{
    if (m_backend->isOpen())
        closePort();
    m_path = path;
    m_open = false;
    m_disconnected = false;
    m_lastError.clear();

    std::string reason;
    if (const int rc = m_backend->open(path, reason); rc != 0)
        return fail(rc, reason);

    if (const int rc = configurePort(settings); rc != 0)
        return rc;

    m_open = true;
    ++m_opens;
    if (m_flushOnOpen) {
        m_backend->discardInput();
        std::uint8_t stale[256];
        while (m_backend->read(stale, 0).count == sizeof stale) {
        }
    }
    delayMs(m_clock, kSettleAfterOpenMs);
    return 0;
}

int SerialPort::configurePort(std::string_view settings)
{
    const auto first = settings.find(',');
    if (first == std::string_view::npos)
        return fail(kMissingFirstComma, "The line settings lack a baud rate field");
    m_baudRate = static_cast<std::uint32_t>(decimalValue(settings.substr(0, first)));

    const auto second = settings.find(',', first + 1);
    if (second == std::string_view::npos)
        return fail(kMissingSecondComma, "The line settings lack a data bits field");
    m_dataBits = static_cast<std::uint32_t>(decimalValue(settings.substr(first + 1, second - first - 1)));

    const auto third = settings.find(',', second + 1);
    if (third == std::string_view::npos)
        return fail(kMissingThirdComma, "The line settings lack a parity field");
    // Checked in this order; a later match wins. No match keeps the old value.
    const std::string_view parityField = settings.substr(second + 1, third - second - 1);
    if (parityField.find('N') != std::string_view::npos)
        m_parity = 0;
    if (parityField.find('E') != std::string_view::npos)
        m_parity = 2;
    if (parityField.find('O') != std::string_view::npos)
        m_parity = 1;

    m_stopBits = static_cast<std::uint32_t>(decimalValue(settings.substr(third + 1)));

    if (!m_backend->isOpen())
        return 0;

    LineParams params;
    params.baudRate = m_baudRate;
    params.dataBits = m_dataBits & 0xFFu; // only the low byte reaches the driver
    params.parity = m_parity;
    params.stopBits = m_stopBits;
    params.hardwareFlow = false;
    m_ctsFlow = false;
    m_rtsHandshake = false;

    std::string reason;
    if (const int rc = m_backend->applyLine(params, reason); rc != 0)
        return fail(rc, reason);
    // A fresh line has DTR and RTS inactive, whatever the driver did on open.
    m_backend->setModemLine(ModemLine::Dtr, false);
    m_backend->setModemLine(ModemLine::Rts, false);
    return 0;
}

void SerialPort::closePort()
{
    if (m_backend->isOpen())
        m_backend->close();
    m_open = false;
}

int SerialPort::applyFlow()
{
    LineParams params;
    params.baudRate = m_baudRate;
    params.dataBits = m_dataBits & 0xFFu;
    params.parity = m_parity;
    params.stopBits = m_stopBits;
    // Linux has one switch for both: CTS gating of output and RTS handshaking.
    params.hardwareFlow = m_ctsFlow || m_rtsHandshake;
    std::string reason;
    return m_backend->applyLine(params, reason);
}

int SerialPort::setDtr(bool on)
{
    if (m_open)
        m_backend->setModemLine(ModemLine::Dtr, on);
    return 0;
}

int SerialPort::setRts(bool on)
{
    if (!m_open)
        return 0;
    m_rtsHandshake = on;
    applyFlow();
    // With handshaking the driver raises RTS while it can take input;
    // without it RTS is held inactive.
    m_backend->setModemLine(ModemLine::Rts, on);
    return 0;
}

void SerialPort::setCtsFlow(bool on)
{
    if (!m_open)
        return;
    m_ctsFlow = on;
    applyFlow();
}

void SerialPort::handleDisconnect()
{
    m_backend->close();
    m_open = false;
    m_disconnected = true;
    m_lastError = "device disconnected";
}

int SerialPort::writeBlock(std::span<const std::uint8_t> bytes)
{
    if (!m_open)
        return notOpenError();
    const int rc = m_backend->write(bytes);
    if (rc == 0)
        m_bytesWritten += bytes.size();
    if (rc != 0) {
        if (isDeviceGoneError(rc))
            handleDisconnect();
        else
            m_lastError = systemErrorText(rc);
    }
    return rc;
}

int SerialPort::writeWithin(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs, std::size_t& taken)
{
    taken = 0;
    if (!m_open)
        return notOpenError();
    const int rc = m_backend->writeWithin(bytes, static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT_MAX)), taken);
    m_bytesWritten += taken;
    if (isDeviceGoneError(rc))
        handleDisconnect();
    else if (rc != 0 && rc != ETIMEDOUT)
        m_lastError = systemErrorText(rc);
    return rc;
}

int SerialPort::writeByte(std::uint8_t byte)
{
    return writeBlock(std::span<const std::uint8_t>(&byte, 1));
}

void SerialPort::writeString(std::string_view text)
{
    for (const char c : text) {
        if (c == '\0')
            break;
        writeByte(static_cast<std::uint8_t>(c));
    }
}

std::size_t SerialPort::readBlock(std::span<std::uint8_t> buffer)
{
    return read(buffer, kReadTimeoutMs);
}

std::size_t SerialPort::readAvailable(std::span<std::uint8_t> buffer)
{
    return read(buffer, 0);
}

std::size_t SerialPort::read(std::span<std::uint8_t> buffer, int timeoutMs)
{
    if (!m_open || buffer.empty())
        return 0;
    const ReadResult r = m_backend->read(buffer, timeoutMs);
    m_bytesRead += r.count;
    if (r.disconnected)
        handleDisconnect();
    return r.count;
}

int SerialPort::readByte(std::uint8_t& byte)
{
    return readBlock(std::span<std::uint8_t>(&byte, 1)) == 1 ? 1 : 0;
}

std::uint8_t SerialPort::waitByte(std::uint32_t attempts)
{
    std::uint8_t byte = 0;
    if (attempts == 0) {
        while (m_open) {
            if (readByte(byte))
                return byte;
        }
        return 0;
    }
    for (std::uint32_t i = 0; i < attempts && m_open; ++i) {
        if (readByte(byte))
            return byte;
        delayMs(m_clock, 1);
    }
    return 0;
}

void SerialPort::drainInput()
{
    std::uint8_t byte = 0;
    while (readByte(byte)) {
    }
}

bool SerialPort::waitUntilSent()
{
    if (!m_open)
        return false;
    waitSentFor(static_cast<int>(sentWaitLimitMs()));
    return m_open;
}

std::uint32_t SerialPort::sentWaitLimitMs() const
{
    if (!m_open)
        return 0;
    const std::size_t queued = m_backend->outputQueued();
    const std::uint32_t rate = m_baudRate > 0 ? m_baudRate : 9600;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(queued * 10ull * 1000 / rate * 2, 60000)) + 1000;
}

int SerialPort::waitSentFor(int timeoutMs)
{
    if (!m_open)
        return notOpenError();
    const int rc = m_backend->waitSent(timeoutMs);
    if (isDeviceGoneError(rc))
        handleDisconnect();
    return rc;
}

int SerialPort::modemStatus(ModemStatus& status)
{
    if (!m_open)
        return notOpenError();
    const int rc = m_backend->modemLines(status);
    if (isDeviceGoneError(rc))
        handleDisconnect();
    return rc;
}

int SerialPort::sendBreak()
{
    if (!m_open)
        return notOpenError();
    const int rc = m_backend->sendBreak();
    if (isDeviceGoneError(rc))
        handleDisconnect();
    else if (rc != 0)
        m_lastError = systemErrorText(rc);
    return rc;
}

std::vector<std::string> SerialPort::enumeratePorts() const
{
    std::vector<std::string> paths;
    for (PortInfo& info : enumeratePortInfo())
        paths.push_back(std::move(info.path));
    return paths;
}

std::vector<PortInfo> SerialPort::enumeratePortInfo() const
{
    return listSerialPortInfo(m_backend->isOpen() ? m_backend->deviceId() : 0);
}

std::string SerialPort::takeNotice()
{
    return m_backend->takeNotice();
}

std::uint32_t SerialPort::appliedBaud() const
{
    return m_backend->isOpen() ? m_backend->appliedBaud() : 0;
}

std::string lineSettingsText(std::string_view baud, std::string_view dataBits, std::string_view stopBits)
{
    std::string text;
    text.append(baud).append(",").append(dataBits).append(",N,").append(stopBits);
    return text;
}

} // namespace merovan
