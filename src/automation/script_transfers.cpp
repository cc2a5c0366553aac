// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/script_host.h"

#include "scripts/script_store.h"
#include "serial/serial_port.h"
#include "transfer/binary_transfers.h"
#include "transfer/boot_loader.h"
#include "transfer/text_transfer.h"

#include <filesystem>

namespace merovan {

namespace {

std::string withDetail(const std::string& message, const std::string& detail)
{
    return detail.empty() ? message : message + ": " + detail;
}

// The routines of the text, binary and boot dialogs, on one request.
ScriptTransferResult runRequestTransfer(SerialPort& port, const ScriptTransfer& t, const std::function<bool()>& cancel)
{
    TransferRequest request(port);
    request.fileName = t.paths.empty() ? std::string() : t.paths.front();
    const ProgressCallback progress = [&cancel](std::int32_t, std::int32_t) { return cancel() ? 1 : 0; };
    int result = 0;
    std::string message;
    switch (t.kind) {
    case ScriptTransfer::Kind::TextFile:
        request.eolWaitChar = t.ack;
        request.errorChar = t.error;
        request.eolDelay = t.delayMs;
        result = toInt(sendTextFile(request, progress));
        message = transfer1Message(result);
        break;
    case ScriptTransfer::Kind::Binary:
        result = toInt(sendBinaryFile(request, progress));
        message = transferBinMessage(result);
        break;
    default: {
        request.flashSize = t.flashKb * 1024;
        request.eraseSize = t.eraseAll ? t.flashKb : 0;
        result = runBootLoader(request, progress);
        message = bootLoaderMessage(result);
        break;
    }
    }
    ScriptTransferResult r;
    r.ok = result == 0;
    if (!r.ok)
        r.message = withDetail(message, request.detail);
    else
        r.files.push_back(request.fileName);
    r.deviceOutput = std::move(request.deviceOutput);
    return r;
}

} // namespace

ScriptTransferResult runScriptTransfer(SerialPort& port, const ScriptTransfer& t, const std::function<bool()>& cancel)
{
    if (t.kind != ScriptTransfer::Kind::SendFiles && t.kind != ScriptTransfer::Kind::ReceiveFiles)
        return runRequestTransfer(port, t, cancel);

    FileTransferOptions options;
    options.protocol = t.protocol;
    options.oneK = t.oneK;
    const bool xmodem = t.protocol == FileProtocol::Xmodem;
    if (t.kind == ScriptTransfer::Kind::ReceiveFiles) {
        if (xmodem) {
            options.xmodemFileName = t.dir;
        } else {
            options.receiveDir = t.dir.empty() ? "." : t.dir;
        }
    }
    const FileProgressCallback progress = [&cancel](const FileTransferProgress&) { return cancel(); };
    FileTransferOutcome outcome = t.kind == ScriptTransfer::Kind::SendFiles ? sendFiles(port, t.paths, options, progress)
                                                                             : receiveFiles(port, options, progress);
    // The last acknowledge leaves for the line before anything else goes.
    port.waitUntilSent();
    ScriptTransferResult r;
    r.ok = outcome.result == 0;
    if (!r.ok)
        r.message = withDetail(fileTransferMessage(outcome.result), outcome.detail);
    r.files = std::move(outcome.files);
    r.deviceOutput = std::move(outcome.trailing);
    return r;
}

ScriptTransferResult ScriptHost::transfer(SerialPort& port, const ScriptTransfer& t)
{
    return runScriptTransfer(port, t, [] { return false; });
}

std::optional<std::string> ScriptHost::namedScript(const std::string& file, const std::string& name)
{
    const std::string path = file.empty() ? scriptFile() : file;
    if (path.empty())
        return std::nullopt;
    return getScriptText(path, name);
}

} // namespace merovan
