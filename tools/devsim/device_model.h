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
    std::vector<std::uint8_t> bytes; // to send to the host, in order
    bool dropLine = false;           // close the line, as a device that vanishes
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
};

struct DeviceOptions
{
    bool greeting = true; // "devsim ready\r\n" when the host opens the line
    bool echo = true;     // send every received byte back
    int ack = -1;         // sent after each received CR; -1 for none
    int error = -1;       // sent instead of ack after a line holding errorOn
    std::string errorOn;  // empty: every line is an error line (when error is set)
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
};

std::unique_ptr<DeviceModel> makeDevice(const DeviceOptions& options);

} // namespace devsim
