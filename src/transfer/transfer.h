// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace merovan {

class SerialPort;

// Results of the transfer routines; the integer is what the windows and the
// command line show and return.
enum class TransferResult : int {
    Success = 0,
    CantOpenFile = 1,
    Timeout = 2,        // no acknowledge (text), a failed write (binary)
    TargetError = 3,    // the device sent the error character
    Canceled = 4,
    PortNotOpen = 5,
    ReadError = 6,      // reading the text file failed
    NoMemory = 10,
    ColourDepth = 16,   // the picture is not 24 bits per pixel
    CantCreateFile = 17,
};

constexpr int toInt(TransferResult r)
{
    return static_cast<int>(r);
}

// Called with (maximum, 0) before the first byte goes out and with
// (maximum, position) after each unit of work; a non-zero answer cancels.
using ProgressCallback = std::function<int(std::int32_t maximum, std::int32_t position)>;

// Called while a routine waits (for a reply, through a pause); true asks
// the routine to stop, which it then does with Canceled.
using ServeCallback = std::function<bool()>;

// No wait of a transfer goes longer than this without serving its caller,
// so a window stays drawn and its cancel button is heard.
inline constexpr std::uint32_t kServeIntervalMs = 50;

// One record for every transfer; a driver fills the fields its routine reads.
struct TransferRequest
{
    explicit TransferRequest(SerialPort& p)
        : port(p)
    {
    }

    std::string fileName;
    SerialPort& port;
    std::string sendFirst;             // expanded before the data; empty for none
    std::uint8_t errorChar = 0;        // 0: none
    std::uint8_t eolDelay = 0;         // milliseconds after each line; 0: none
    std::uint8_t eolWaitChar = 0;      // 0: none
    std::int32_t eraseSize = 0;        // kilobytes
    std::int32_t flashSize = 0;        // bytes
    std::int32_t fileSize = 0;         // progress maximum
    std::int32_t actualFileSize = 0;   // image size in bytes
    std::int32_t divisor = 1;          // progress divisor
    std::int32_t createFile = 0;       // write files instead of sending

    // Filled in by the routine for both front ends.
    // For a failure about a file: the file and the system's reason, or what
    // is wrong inside it ("prog.hex:17: checksum 3A, expected 7C").
    std::string detail;
    // What the device sent during the transfer that was not a protocol reply
    // (each line's echo, its error text), in arrival order, for the terminal
    // to show afterwards. Bounded by kDeviceOutputLimit.
    std::vector<std::uint8_t> deviceOutput;
    std::int32_t bootVersion = 0;      // the boot loader's version, once learnt
    // After a success: what was left out on purpose, for both front ends to
    // say ("4 bytes at 0x1FC02FF0–0x1FC02FFF lie outside the flash window
    // and were not sent"); empty when nothing was.
    std::string note;

    // Served during every wait; empty: nothing is served. Once it has
    // answered true, stopRequested stays set and every later wait ends at
    // once.
    ServeCallback serve;
    bool stopRequested = false;
    std::uint64_t servedMs = 0;        // when serve was last called
};

inline constexpr std::size_t kDeviceOutputLimit = 1 << 20;

// Keeps a byte the device sent that the protocol does not use.
void keepDeviceOutput(TransferRequest& request, std::uint8_t byte);

// Fills request.detail with "path: reason" from errno; returns result, so a
// routine can end with `return fileFailure(request, path, result)`.
template <typename Result>
Result fileFailure(TransferRequest& request, const std::string& path, Result result);
std::string systemReason(const std::string& path);

// Calls request.serve when kServeIntervalMs have passed since it last did
// (a little earlier, so that a wait's own steps never make it late). True
// once a stop was asked for.
bool serveWait(TransferRequest& request);

// Pauses for ms, serving the caller meanwhile. False when a stop was asked
// for, which ends the pause early.
bool pauseServed(TransferRequest& request, std::uint32_t ms);

// SerialPort::waitUntilSent, serving the caller meanwhile. False when the
// device went away or a stop was asked for (stopRequested tells which);
// the bytes the driver still holds are not taken back.
bool waitUntilSentServed(TransferRequest& request);

// sendExpandedText for the request's "Send first" text, serving the caller
// through its \w pauses. False when a stop was asked for meanwhile.
bool sendFirstServed(TransferRequest& request, std::span<char> echo);

// How long bytes take on the line at the port's rate, 10 bits a byte
// (rounded up; 0 for none). A wait for the answer to a write starts its
// count once the write has had this long to reach the device.
std::uint32_t lineTimeMs(const SerialPort& port, std::size_t bytes);

// Waits for one byte from the device: up to 200 reads of about 2 ms, each
// empty one followed by a 1 ms pause, counted once the written bytes just
// sent have had their time on the line. Returns 1 with the byte, 0 on
// silence (or when the port went away, or a stop was asked for). A
// received 0 byte counts as a byte.
int awaitByte(TransferRequest& request, std::uint8_t& byte, std::size_t written = 0);

// The smallest divisor that brings size down to at most 65,000, so progress
// values fit the bar.
std::int32_t progressDivisor(std::int64_t size);

// A C stream closed when it goes out of scope.
struct FileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file a transfer reads. A folder is refused as a file that cannot
// be read: null with errno EISDIR ("Is a directory"), which fileFailure
// then reports.
File openInputFile(const std::string& path);

// The length of an open file, which is left at its start: 0 when it cannot
// seek, -1 when its position cannot be told.
std::int64_t fileLength(std::FILE* file);

template <typename Result>
Result fileFailure(TransferRequest& request, const std::string& path, Result result)
{
    request.detail = systemReason(path);
    return result;
}

// A count with thousands separators: "12,345".
std::string groupedCount(std::uint64_t n);

// What a successful send says, in the window and on the command line:
// "Sent 3,000 bytes in 0.31 s".
std::string sentSummary(std::uint64_t bytes, std::uint64_t elapsedMs);

// The messages the text and binary drivers show for a result.
std::string transfer1Message(int result);
std::string transferBinMessage(int result);

} // namespace merovan
