#include "transfer/file_transfer.h"

// Placeholder until the protocol lands.

namespace merovan {

namespace {

FileTransferOutcome notBuilt()
{
    FileTransferOutcome o;
    o.result = kFileProtocolError;
    o.detail = "not built yet";
    return o;
}

} // namespace

FileTransferOutcome xymodemSend(SerialPort&, const std::vector<std::string>&, const FileTransferOptions&,
                                const FileProgressCallback&)
{
    return notBuilt();
}

FileTransferOutcome xymodemReceive(SerialPort&, const FileTransferOptions&, const FileProgressCallback&)
{
    return notBuilt();
}

} // namespace merovan
