// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "transfer/file_transfer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace merovan {

class SerialPort;

// A transfer a script asked for, as the window's menus and dialogs would
// run it.
struct ScriptTransfer
{
    enum class Kind { SendFiles, ReceiveFiles, Boot, TextFile, Binary };
    Kind kind = Kind::SendFiles;
    std::vector<std::string> paths; // SendFiles: one or more; Boot, TextFile, Binary: one
    std::string dir;                // ReceiveFiles: where files land (XMODEM: the file)
    FileProtocol protocol = FileProtocol::Zmodem;
    bool oneK = false;              // XMODEM-1K
    std::int32_t flashKb = 0;       // Boot
    bool eraseAll = false;          // Boot
    std::uint8_t ack = 0;           // TextFile: the byte that acknowledges a line
    std::uint8_t error = 0;         // TextFile: the byte that reports an error
    std::uint8_t delayMs = 0;       // TextFile: pause after each line
};

struct ScriptTransferResult
{
    bool ok = false;
    // For a failure, what the window shows for it ("Cant open file: x.bin: No
    // such file or directory").
    std::string message;
    std::vector<std::string> files; // sent or received whole
    // What the device sent during the transfer besides the protocol, and
    // after it: shown, and given to the script's expect.
    std::vector<std::uint8_t> deviceOutput;
};

// Runs a transfer with the core's routines; cancel is asked at every
// progress step and ends the transfer when it answers true.
ScriptTransferResult runScriptTransfer(SerialPort& port, const ScriptTransfer& transfer,
                                       const std::function<bool()>& cancel);

// What a running script needs from the program around it: the window or
// the command line.
class ScriptHost
{
public:
    virtual ~ScriptHost() = default;

    // A merovan.log() line, its timestamp already in front.
    virtual void log(const std::string& line) = 0;
    // What the script print()s.
    virtual void print(const std::string& text) = 0;
    // A remark about the script's course that is not the device's output:
    // a wait that timed out, where it was ("login.lua:7: expect: timeout").
    virtual void note(const std::string& text) { (void)text; }
    // Bytes from the device that did not pass the driver's reader, such as
    // what came during and after a transfer: to be shown as received. The
    // runner gives them to the script's expect itself.
    virtual void showReceived(std::span<const std::uint8_t> bytes) { (void)bytes; }
    // Runs a transfer; the window shows its progress dialog. The default
    // runs it without progress display and without a way to cancel it.
    virtual ScriptTransferResult transfer(SerialPort& port, const ScriptTransfer& transfer);
    // The text of a stored named script, from file, or when file is empty
    // from the script file the user works with; nullopt when there is none.
    virtual std::optional<std::string> namedScript(const std::string& file, const std::string& name);
    // The script file merovan.script(name) looks in by default.
    virtual std::string scriptFile() const { return {}; }
};

} // namespace merovan
