// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serial/clock.h"
#include "serial/port_enumeration.h"
#include "serial/serial_backend.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace merovan {

// Results of openPort and configurePort besides 0 and errno values: the
// settings text lacks its first, second or third comma.
inline constexpr int kMissingFirstComma = 1;
inline constexpr int kMissingSecondComma = 2;
inline constexpr int kMissingThirdComma = 3;

// The program's one serial port. It is owned by main and passed by reference
// to everything that talks to the device; it is not copied.
//
// Reads never block for more than about 2 ms. Writes block until every byte
// has been taken. A device that vanishes closes the port object; the caller
// finds it closed, with lastError() saying "device disconnected".
class SerialPort
{
public:
    explicit SerialPort(Clock& clock, std::unique_ptr<SerialBackend> backend = makeSystemBackend());
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device at path and applies settings ("9600,8,N,1"). A port
    // already open is closed first. Returns 0 after a successful open and the
    // 500 ms settling wait; kMissing*Comma for a malformed settings text,
    // leaving the device held but not marked open; otherwise the system's
    // error code of the failing step, with lastError() giving the reason.
    int openPort(const std::string& path, std::string_view settings);

    // Parses "baud,data,parity,stop" and applies it to the open device with
    // DTR, RTS and CTS flow control off. The fields are kept even when no
    // device is held, in which case nothing else happens and 0 is returned.
    int configurePort(std::string_view settings);

    void closePort();
    bool isOpen() const { return m_open; }

    // Each returns 0; failures and a closed port change nothing.
    int setDtr(bool on);
    int setRts(bool on);   // on: RTS handshaking; off: RTS held inactive
    void setCtsFlow(bool on);

    // 0, or the system's error code; a closed port gives notOpenError() and
    // sends nothing.
    int writeBlock(std::span<const std::uint8_t> bytes);
    // As writeBlock, but returns ETIMEDOUT once timeoutMs has passed with
    // bytes still untaken (a line held back, or a reader that has gone),
    // taken telling how many went; the port stays open then.
    int writeWithin(std::span<const std::uint8_t> bytes, std::uint32_t timeoutMs, std::size_t& taken);
    int writeByte(std::uint8_t byte);
    void writeString(std::string_view text);

    // Number of bytes read into buffer, 0 when none arrived within about 2 ms
    // or the port is closed.
    std::size_t readBlock(std::span<std::uint8_t> buffer);
    // As readBlock, but takes only what has already arrived, without waiting.
    std::size_t readAvailable(std::span<std::uint8_t> buffer);
    // As readBlock, but waits at most timeoutMs for the first byte.
    std::size_t readWithin(std::span<std::uint8_t> buffer, int timeoutMs) { return read(buffer, timeoutMs); }
    int readByte(std::uint8_t& byte);

    // attempts > 0: up to that many reads with a 1 ms pause after each empty
    // one; the byte, or 0 on time-out. attempts == 0: reads until a byte comes
    // or the port goes away (then 0).
    std::uint8_t waitByte(std::uint32_t attempts);

    // Reads until a read finds nothing.
    void drainInput();

    // With on, openPort discards whatever input is already waiting right
    // after it opens the device (before its settling wait), so what a
    // previous session left unread is not taken for the device's answer.
    void setFlushOnOpen(bool on) { m_flushOnOpen = on; }

    // Bytes this object has read from and written to the device since it
    // was made, over every open.
    std::uint64_t bytesRead() const { return m_bytesRead; }
    std::uint64_t bytesWritten() const { return m_bytesWritten; }
    // How many times a device was opened; a reader that sees it change
    // knows that what it reads next is a new connection's.
    std::uint64_t opens() const { return m_opens; }

    // Waits until what was written has left for the line, as long as the
    // line rate needs for it (and a little more). False only when the device
    // went away meanwhile, which also closes the port object; a line that is
    // merely held back (CTS) is not a failure.
    bool waitUntilSent();
    // waitUntilSent's steps, for a caller that has other work between them.
    // sentWaitLimitMs: how long waitUntilSent would wait for what the driver
    // holds now. waitSentFor: 0 once everything written has left, a
    // non-zero code while bytes remain after timeoutMs or when the port is
    // closed; a vanished device also closes the port object.
    std::uint32_t sentWaitLimitMs() const;
    int waitSentFor(int timeoutMs);

    // The modem input lines of the open device: 0, the system's code for a
    // device without them (a pseudo-terminal) or a failure, notOpenError()
    // when closed.
    int modemStatus(ModemStatus& status);
    // Sends a break (a quarter to half a second); notOpenError() when closed.
    int sendBreak();

    // Device paths of the serial ports present, in a stable order, without
    // opening any of them. The device this object holds is left out.
    std::vector<std::string> enumeratePorts() const;
    // The same ports with what the system knows about each.
    std::vector<PortInfo> enumeratePortInfo() const;

    // The reason for the last failure, for the user.
    const std::string& lastError() const { return m_lastError; }
    bool wasDisconnected() const { return m_disconnected; }

    // The next note about the line for the status line or the terminal, each
    // given once: for a network port, a setting the server applied
    // differently or could not apply. Empty when there is none.
    std::string takeNotice();

    // Settings as last parsed, and the rate the driver applied.
    const std::string& path() const { return m_path; }
    std::uint32_t baudRate() const { return m_baudRate; }
    std::uint32_t dataBits() const { return m_dataBits; }
    std::int32_t parity() const { return m_parity; }
    std::uint32_t stopBits() const { return m_stopBits; }
    std::uint32_t appliedBaud() const;

    Clock& clock() { return m_clock; }

    // Readable when input arrives (for an event loop's notifier); -1 when
    // closed or when the backend has none.
    int nativeHandle() const { return m_open ? m_backend->nativeHandle() : -1; }

private:
    std::size_t read(std::span<std::uint8_t> buffer, int timeoutMs);
    int applyFlow();
    void handleDisconnect();
    int fail(int error, std::string reason);

    Clock& m_clock;
    std::unique_ptr<SerialBackend> m_backend;
    bool m_open = false;
    bool m_disconnected = false;
    std::string m_path;
    std::uint32_t m_baudRate = 0;
    std::uint32_t m_stopBits = 0;
    std::uint32_t m_dataBits = 0;
    std::int32_t m_parity = 0;
    bool m_ctsFlow = false;
    bool m_rtsHandshake = false;
    bool m_flushOnOpen = false;
    std::uint64_t m_bytesRead = 0;
    std::uint64_t m_bytesWritten = 0;
    std::uint64_t m_opens = 0;
    std::string m_lastError;
};

// Builds the settings text the terminal window uses: "baud,data,N,stop".
std::string lineSettingsText(std::string_view baud, std::string_view dataBits, std::string_view stopBits);

} // namespace merovan
