// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/system_error.h"

#include <windows.h>

namespace merovan {

std::string systemErrorText(int code)
{
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n > 0 && text ? std::string(text, n) : "Windows error " + std::to_string(code);
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

int notOpenError()
{
    return ERROR_INVALID_HANDLE;
}

// USB-serial drivers answer for a cable that was pulled out with "access
// denied" or "bad command"; "not ready" comes from ports whose far end went
// away (Bluetooth and other virtual ports; wine for a hung-up terminal); the
// others are what the system itself says.
bool isDeviceGoneError(int code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
        return true;
    default:
        return false;
    }
}

int deviceGoneError()
{
    return ERROR_DEVICE_NOT_CONNECTED;
}

} // namespace merovan
