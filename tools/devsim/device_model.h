// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace devsim {

// What the device does in answer to an event.
struct DeviceOutput
{
    std::vector<std::uint8_t> bytes;  // to send to the host, in order
    std::vector<std::uint8_t> record; // for models that record what they received themselves
    bool dropLine = false;            // close the line, as a device that vanishes
};

inline constexpr std::uint64_t kNoDeadline = std::numeric_limits<std::uint64_t>::max();

// A simulated device: bytes in, bytes out, and a clock. The same model runs
// behind a pseudo-terminal in merovan-devsim and in-process behind a fake
// port in the unit tests, so it never sleeps and never reads the time
// itself: each event carries the time.
class DeviceModel
{
public:
    virtual ~DeviceModel() = default;

    // The host opened the line.
    virtual void lineOpened(std::uint64_t nowMs, DeviceOutput& out);
    // The host closed the line.
    virtual void lineClosed(std::uint64_t nowMs);
    // One byte from the host.
    virtual void receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out) = 0;
    // Time passed; called at or after nextDeadline().
    virtual void tick(std::uint64_t nowMs, DeviceOutput& out);
    // The earliest time at which tick() has work, kNoDeadline when none.
    virtual std::uint64_t nextDeadline() const;
    // True when the model says what to record (DeviceOutput::record);
    // otherwise every byte received is recorded.
    virtual bool recordsItself() const { return false; }
};

struct DeviceOptions
{
    bool greeting = true; // "devsim ready\r\n" when the host opens the line
    std::string greetingText; // said instead of "devsim ready\r\n" when not empty
    std::vector<std::uint8_t> play; // sent after the greeting, as a recorded session
    bool echo = true;     // send every received byte back
    int ack = -1;         // sent after each received CR; -1 for none
    int error = -1;       // sent instead of ack after a line holding errorOn
    std::string errorOn;  // empty: every line is an error line (when error is set)

    // The resident boot loader, woken by a backslash.
    bool boot = false;
    int bootVersion = 2;
    std::uint32_t flashKb = 512;
    int subVersion = 2;
    bool noSubversion = false;   // version 2 never names its sub-version
    // Faults, by the 1-based number of the data block (or, in the line
    // acknowledge mode, the line) they strike.
    int nakBlock = -1;           // NAK this block...
    int nakTimes = 1;            // ...this many times
    int silentAfterBlocks = -1;  // answer nothing after this many blocks
    int replyGarbageAt = -1;     // answer this block with a stray byte
    int dropAfterBlocks = -1;    // close the line after this many blocks
    bool cancelAtStart = false;  // version 1: CAN instead of "C"

    // A device that streams on its own, this many bytes a second; 0: none.
    std::uint32_t streamRate = 0;
    // A device that prints plot series, this many lines a second; 0: none.
    std::uint32_t seriesRate = 0;
    std::uint32_t seriesCount = 3;

    // A boot monitor's console with canned answers (ConsoleDevice).
    bool console = false;
    int autoboot = -1;           // seconds of "Hit any key" countdown; -1: none

};

// The default device: a greeting line, then an echo of everything received,
// and in line-acknowledge mode an acknowledge (or error) byte after each CR.
class EchoDevice : public DeviceModel
{
public:
    explicit EchoDevice(DeviceOptions options);
    void lineOpened(std::uint64_t nowMs, DeviceOutput& out) override;
    void receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out) override;

private:
    DeviceOptions m_options;
    std::string m_line; // the line so far, for the acknowledge mode
    int m_lines = 0;    // lines taken in the acknowledge mode
};

// The boot loader of the device: version 2 takes a size and 2000-byte
// blocks, each acknowledged; version 1 takes an erase command and the image
// by XMODEM-1K. It records the data it receives.
class BootLoaderDevice : public DeviceModel
{
public:
    explicit BootLoaderDevice(DeviceOptions options);
    void lineOpened(std::uint64_t nowMs, DeviceOutput& out) override;
    void receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out) override;
    void tick(std::uint64_t nowMs, DeviceOutput& out) override;
    std::uint64_t nextDeadline() const override;
    bool recordsItself() const override { return true; }

private:
    enum class State { Idle, Woken, Size, Data, Erase, Start, Blocks };
    void endOfBlock(bool good, DeviceOutput& out);
    void reset();

    DeviceOptions m_options;
    State m_state = State::Idle;
    std::uint64_t m_next = kNoDeadline; // next "D" or "C"
    std::uint64_t m_lastByte = 0;
    std::vector<std::uint8_t> m_buffer;
    std::uint32_t m_announced = 0;
    int m_blocks = 0;       // data blocks taken
    int m_naks = 0;         // NAKs given to the current fault block
    std::uint8_t m_expected = 1;
    bool m_silent = false;
};

std::unique_ptr<DeviceModel> makeDevice(const DeviceOptions& options);

} // namespace devsim
