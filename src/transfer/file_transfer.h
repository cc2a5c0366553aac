// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "transfer/transfer.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace merovan {

class SerialPort;

// The standard file transfers, spoken with any peer (lrzsz, U-Boot, an MCU
// monitor). The boot loader keeps its own XMODEM sender and timing.
enum class FileProtocol { Xmodem, Ymodem, Zmodem };

// Results besides Success (0), CantOpenFile (1), Canceled (4, by the user),
// PortNotOpen (5, the port went away) and CantCreateFile (17, receive).
inline constexpr int kFileNoStart = 30;         // the other side never started
inline constexpr int kFileTimeout = 31;         // the other side fell silent mid-way
inline constexpr int kFileTooManyRetries = 32;  // a block failed every retry
inline constexpr int kFileCanceledByPeer = 33;  // CAN CAN from the other side
inline constexpr int kFileProtocolError = 34;   // a header, name, size or position that cannot be

struct FileTransferOptions
{
    FileProtocol protocol = FileProtocol::Zmodem;
    // XMODEM send: 1024-byte blocks where the receiver asked for CRC.
    bool oneK = false;
    // Receive: ask for the 8-bit checksum (NAK) instead of CRC-16 ("C").
    bool checksum = false;
    // XMODEM receive: cut the trailing SUB (1A) padding of the last block.
    // YMODEM cuts to the size from block 0 in any case.
    bool stripPadding = false;
    // ZMODEM: continue a partial file where it stopped.
    bool resume = false;
    // The receiver's start character is repeated this often, for this long.
    std::uint32_t startIntervalMs = 3000;
    std::uint32_t startTimeoutMs = 60000;
    // Silence mid-way that ends the transfer, and tries per block.
    std::uint32_t blockTimeoutMs = 10000;
    int retries = 10;
    // Receive: the folder files land in. Names from the wire are reduced to
    // a base name, so nothing is ever written outside it.
    std::string receiveDir = ".";
    // XMODEM receive: the file to write (XMODEM carries no name).
    std::string xmodemFileName;
    // XMODEM and YMODEM send: the receiver's start ("C" or NAK) that the
    // terminal took in just before, so the send starts at once instead of
    // waiting for the next one; 0 for none.
    std::uint8_t startSeen = 0;
};

struct FileTransferProgress
{
    std::string fileName;      // base name of the current file
    int fileIndex = 0;         // 0-based
    int fileCount = 0;         // 0 when not known (receive)
    std::int64_t bytes = 0;    // of the current file
    std::int64_t total = -1;   // the current file's size; -1 when not known
    int retries = 0;           // over the whole session
    std::uint64_t elapsedMs = 0; // since the session started
};

// Called before the first byte goes out, after every block or subpacket,
// on every retry, and at least every kServeIntervalMs while the other side
// is awaited (so a window stays alive through a silent peer). Returning
// true cancels: CAN x 8 then backspace x 8 go out and the result is
// Canceled.
using FileProgressCallback = std::function<bool(const FileTransferProgress&)>;

struct FileTransferOutcome
{
    int result = 0;
    // For a failure: the file and the system's reason, or what was wrong on
    // the wire ("block 0: name holds a path").
    std::string detail;
    std::vector<std::string> files;   // the files sent or received whole
    std::int64_t bytes = 0;           // payload bytes moved
    int retries = 0;
    std::uint64_t elapsedMs = 0;
    // What the other side sent after the session ended (a device's prompt
    // after "OO"), read already and left for the terminal to show.
    std::vector<std::uint8_t> trailing;
    // For a success: what the user should still know, such as
    // kEndNotAcknowledged.
    std::string note;
};

// The note of a send whose every data block was acknowledged but not its
// end (XMODEM's EOT, YMODEM's closing block 0): peers such as lrzsz flush
// their line as they exit, which can lose that last ACK.
inline constexpr const char* kEndNotAcknowledged = "the receiver did not acknowledge the end";

// Sends paths in one session (XMODEM takes exactly one).
FileTransferOutcome sendFiles(SerialPort& port, const std::vector<std::string>& paths,
                              const FileTransferOptions& options, const FileProgressCallback& progress);
// Receives into options.receiveDir (XMODEM: into options.xmodemFileName).
FileTransferOutcome receiveFiles(SerialPort& port, const FileTransferOptions& options,
                                 const FileProgressCallback& progress);

// The plain message for a result, for the window and the command line.
std::string fileTransferMessage(int result);
std::string_view protocolName(FileProtocol protocol);   // "XMODEM", "YMODEM", "ZMODEM"

// Watches what the terminal receives for a ZMODEM sender starting
// (ZRQINIT: "**" 18 "B00"), also when it is split across reads.
class ZmodemStartDetector
{
public:
    // True when the bytes complete a start.
    bool feed(std::span<const std::uint8_t> bytes);
    void reset() { m_matched = 0; }

private:
    std::size_t m_matched = 0;
};

// The protocol routines behind sendFiles and receiveFiles.
FileTransferOutcome xymodemSend(SerialPort& port, const std::vector<std::string>& paths,
                                const FileTransferOptions& options, const FileProgressCallback& progress);
FileTransferOutcome xymodemReceive(SerialPort& port, const FileTransferOptions& options,
                                   const FileProgressCallback& progress);
FileTransferOutcome zmodemSend(SerialPort& port, const std::vector<std::string>& paths,
                               const FileTransferOptions& options, const FileProgressCallback& progress);
FileTransferOutcome zmodemReceive(SerialPort& port, const FileTransferOptions& options,
                                  const FileProgressCallback& progress);

} // namespace merovan
