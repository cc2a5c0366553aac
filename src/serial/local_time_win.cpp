// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/text_expansion.h"

#include <ctime>

namespace merovan {

std::tm systemLocalTime()
{
    const std::time_t t = std::time(nullptr);
    std::tm local {};
    localtime_s(&local, &t);
    return local;
}

} // namespace merovan
