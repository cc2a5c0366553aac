// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace merovan {

// Line parameters the port object asks a backend to apply.
struct LineParams
{
    std::uint32_t baudRate = 0;
    std::uint32_t dataBits = 8;
    std::int32_t parity = 0;   // 0 none, 1 odd, 2 even
    std::uint32_t stopBits = 0; // 1 or 2; anything else keeps the driver's setting
    bool hardwareFlow = false; // output waits for CTS, RTS follows the input buffer
};

enum class ModemLine { Dtr, Rts };

// The input lines of the modem interface, as last read.
struct ModemStatus
{
    bool cts = false;
    bool dsr = false;
    bool dcd = false; // carrier detect
    bool ri = false;  // ring indicator
    friend bool operator==(const ModemStatus&, const ModemStatus&) = default;
};

struct ReadResult
{
    std::size_t count = 0;
    int error = 0;              // the system's code for a failed read, 0 otherwise
    bool disconnected = false;  // the device has gone away (hang-up, unplugged)
};

// One operating system's way to a serial device. The port object holds the
// program's logic; a backend only moves bytes and line settings. Every
// function returns 0 or the system's error code (an errno value on POSIX, a
// GetLastError value on Windows; see common/system_error.h), with a
// readable reason where the caller may show it.
class SerialBackend
{
public:
    virtual ~SerialBackend() = default;

    // Opens the device exclusively, in raw mode and ignoring modem status.
    virtual int open(const std::string& path, std::string& reason) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    virtual int applyLine(const LineParams& params, std::string& reason) = 0;
    // The rate the driver actually applied, read back after applyLine.
    virtual std::uint32_t appliedBaud() const = 0;

    // Drives DTR or RTS. Devices without modem lines (a pseudo-terminal)
    // accept the call and do nothing.
    virtual int setModemLine(ModemLine line, bool on) = 0;

    // Waits at most timeoutMs for input, then takes what has arrived, up to
    // buffer.size() bytes.
    virtual ReadResult read(std::span<std::uint8_t> buffer, int timeoutMs) = 0;

    // Returns once every byte has been taken by the driver, or on failure.
    // A vanished device gives a code for which isDeviceGoneError() holds.
    virtual int write(std::span<const std::uint8_t> bytes) = 0;

    // As write, but gives up once timeoutMs has passed with bytes still
    // untaken (a line held back, or a reader that has gone): ETIMEDOUT, with
    // taken telling how many bytes the driver did take. A backend without a
    // bounded write waits as write does.
    virtual int writeWithin(std::span<const std::uint8_t> bytes, int timeoutMs, std::size_t& taken)
    {
        (void)timeoutMs;
        const int rc = write(bytes);
        taken = rc == 0 ? bytes.size() : 0;
        return rc;
    }

    // Identifies the open device so that listings can leave it out; 0 when
    // closed or unknown.
    virtual std::uint64_t deviceId() const = 0;

    // Waits up to timeoutMs until everything written has left the driver's
    // queue. 0 when it has, another code when it has not yet, and one for
    // which isDeviceGoneError() holds when the device went away meanwhile.
    virtual int waitSent(int timeoutMs) { (void)timeoutMs; return 0; }

    // Bytes written but not yet sent; 0 when unknown.
    virtual std::size_t outputQueued() const { return 0; }

    // Reads CTS, DSR, DCD and RI (Linux: TIOCMGET; Windows:
    // GetCommModemStatus). ENOTTY when the device has no modem lines (a
    // pseudo-terminal), EBADF when closed, another errno on failure; it never
    // blocks.
    virtual int modemLines(ModemStatus& status)
    {
        (void)status;
        return ENOTTY;
    }

    // Holds the line in the break condition for about a quarter to half a
    // second (Linux: tcsendbreak(fd, 0); Windows: SetCommBreak, a pause,
    // ClearCommBreak), then returns. 0, EBADF when closed, or an errno.
    virtual int sendBreak() { return ENOTTY; }

    // A descriptor that becomes readable when input arrives, for event
    // loops; -1 when there is none.
    virtual int nativeHandle() const { return -1; }

    // Drops input that arrived before now, including what a device server
    // holds for us (RFC 2217 PURGE-DATA); devices read it away instead.
    virtual void discardInput() {}

    // The next note for the user about the line, each said once: a setting a
    // device server applied differently, or could not apply at all. Empty
    // when there is none.
    virtual std::string takeNotice() { return {}; }
};

// The backend for any port name: the system's devices, and network ports
// (rfc2217://, tcp://) through a device server.
std::unique_ptr<SerialBackend> makeSystemBackend();

} // namespace merovan
