// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/file_transfer.h"

#include <cstring>

namespace merovan {

FileTransferOutcome sendFiles(SerialPort& port, const std::vector<std::string>& paths,
                              const FileTransferOptions& options, const FileProgressCallback& progress)
{
    if (options.protocol == FileProtocol::Zmodem)
        return zmodemSend(port, paths, options, progress);
    return xymodemSend(port, paths, options, progress);
}

FileTransferOutcome receiveFiles(SerialPort& port, const FileTransferOptions& options,
                                 const FileProgressCallback& progress)
{
    if (options.protocol == FileProtocol::Zmodem)
        return zmodemReceive(port, options, progress);
    return xymodemReceive(port, options, progress);
}

std::string fileTransferMessage(int result)
{
    switch (result) {
    case 0: return "Transfer complete";
    case toInt(TransferResult::CantOpenFile): return "Cant open file";
    case toInt(TransferResult::Canceled): return "Transfer canceled";
    case toInt(TransferResult::PortNotOpen): return "COM port not opened";
    case toInt(TransferResult::CantCreateFile): return "Cannot create the received file";
    case kFileNoStart: return "The other side did not start the transfer";
    case kFileTimeout: return "The other side fell silent";
    case kFileTooManyRetries: return "Too many errors, transfer given up";
    case kFileCanceledByPeer: return "Transfer canceled by the other side";
    case kFileProtocolError: return "The other side sent something invalid";
    default: return "Transfer failed";
    }
}

std::string_view protocolName(FileProtocol protocol)
{
    switch (protocol) {
    case FileProtocol::Xmodem: return "XMODEM";
    case FileProtocol::Ymodem: return "YMODEM";
    case FileProtocol::Zmodem: return "ZMODEM";
    }
    return "?";
}

bool ZmodemStartDetector::feed(std::span<const std::uint8_t> bytes)
{
    static constexpr std::uint8_t kStart[] = { '*', '*', 0x18, 'B', '0', '0' };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (m_matched == 0) {
            // Nothing begun: only a '*' can start the header.
            const void* star = std::memchr(bytes.data() + i, '*', bytes.size() - i);
            if (!star)
                return false;
            i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(star) - bytes.data());
        }
        const std::uint8_t b = bytes[i];
        if (b == kStart[m_matched]) {
            if (++m_matched == sizeof kStart) {
                m_matched = 0;
                return true;
            }
        } else {
            // "***" still leaves "**" matched.
            m_matched = (b == '*') ? (m_matched >= 1 && m_matched <= 2 ? 2 : 1) : 0;
        }
    }
    return false;
}

} // namespace merovan
