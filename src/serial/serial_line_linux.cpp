// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_line_linux_p.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace merovan::detail {

namespace {

int getTermios(int fd, termios2& tio, std::string& reason)
{
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        const int err = errno;
        reason = err == ENOTTY ? std::string("not a serial device") : std::string(std::strerror(err));
        return err;
    }
    return 0;
}

int setTermios(int fd, const termios2& tio, std::string& reason)
{
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        const int err = errno;
        reason = std::strerror(err);
        return err;
    }
    return 0;
}

} // namespace

int makeRawLinux(int fd, std::string& reason)
{
    termios2 tio {};
    if (const int rc = getTermios(fd, tio, reason))
        return rc;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF
                                          | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return setTermios(fd, tio, reason);
}

int applyLineLinux(int fd, const LineParams& params, std::string& reason)
{
    tcflag_t size = 0;
    switch (params.dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default:
        reason = std::to_string(params.dataBits) + " data bits are not supported on this system";
        return EINVAL;
    }
    if (params.baudRate == 0) {
        reason = "a baud rate of 0 is not valid";
        return EINVAL;
    }

    termios2 tio {};
    if (const int rc = getTermios(fd, tio, reason))
        return rc;

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= size | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = params.baudRate;
    tio.c_ospeed = params.baudRate;
    if (params.parity == 1)
        tio.c_cflag |= PARENB | PARODD;
    else if (params.parity == 2)
        tio.c_cflag |= PARENB;
    if (params.stopBits == 1)
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    else if (params.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (params.hardwareFlow)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);

    if (const int rc = setTermios(fd, tio, reason))
        return rc;

    // Drivers round rates they cannot make; a rate far off is refused rather
    // than silently run at the wrong speed.
    const std::uint32_t applied = readBaudLinux(fd);
    if (applied != 0) {
        const double ratio = static_cast<double>(applied) / params.baudRate;
        if (ratio < 0.97 || ratio > 1.03) {
            reason = "the driver cannot make " + std::to_string(params.baudRate) + " baud (it offers "
                + std::to_string(applied) + ")";
            return EINVAL;
        }
    }
    return 0;
}

std::uint32_t readBaudLinux(int fd)
{
    termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

} // namespace merovan::detail
