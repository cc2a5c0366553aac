// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/system_error.h"

#include <cerrno>
#include <cstring>

namespace merovan {

std::string systemErrorText(int code)
{
    return std::strerror(code);
}

int notOpenError()
{
    return EBADF;
}

bool isDeviceGoneError(int code)
{
    return code == ENXIO || code == EIO || code == ENODEV;
}

int deviceGoneError()
{
    return ENXIO;
}

} // namespace merovan
