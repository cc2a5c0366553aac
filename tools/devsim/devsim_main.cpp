// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-devsim: a simulated serial device on a pseudo-terminal.

#include "device_model.h"
#include "pty_runner.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

void usage(std::FILE* to)
{
    std::fputs("Usage: merovan-devsim [options]\n"
               "A simulated serial device on a pseudo-terminal. Prints the terminal's\n"
               "path on the first line of stdout and runs until SIGINT or SIGTERM.\n"
               "\n"
               "Options:\n"
               "  --link PATH      also make a symlink PATH to the terminal (removed on exit)\n"
               "  --record FILE    append every byte received to FILE\n"
               "  --sent FILE      append every byte sent to the host to FILE\n"
               "  --stream RATE    send a steady stream of text lines and binary bursts,\n"
               "                   RATE bytes a second, while the host has the line open\n"
               "  --stream-series RATE  print RATE lines a second of plot series in the\n"
               "                   form sine:V,saw:V,noise:V while the host has the line open\n"
               "  --series N       with --stream-series: N series (3), the kinds repeated\n"
               "  --rate BAUD      pace both directions to BAUD (10 bits a byte)\n"
               "  --drop-after-bytes N  close the line once N bytes came\n"
               "  --cts-hold MS    after every --cts-hold-after bytes (1024) received, take\n"
               "                   nothing for MS milliseconds, holding the host's output back\n"
               "  --echo           echo every byte received (default)\n"
               "  --no-echo        do not echo\n"
               "  --no-greeting    do not send \"devsim ready\" when the host opens the line\n"
               "  --greeting TEXT  send TEXT instead; \\r \\n \\e \\\\ and \\xHH stand for\n"
               "                   their bytes\n"
               "  --play FILE      then send FILE's bytes (a recorded session, escapes and all)\n"
               "  --ack N          send byte N after each CR received (line acknowledge)\n"
               "  --error N        send byte N instead of the acknowledge after an error line\n"
               "  --error-on TEXT  a line holding TEXT is an error line (default: every line)\n"
               "\n"
               "Boot loader (woken by a backslash, as a pty has no DTR):\n"
               "  --boot                 act as the device's resident boot loader; --record\n"
               "                         then receives the image data, not the raw bytes\n"
               "  --boot-version 1|2     1: erase command and XMODEM-1K; 2: blocks of 2000\n"
               "  --flash-kb KB          flash size; version 2 NAKs a larger size (512)\n"
               "  --no-subversion        version 2 never names its sub-version\n"
               "  --nak-block N[:TIMES]  NAK data block N (1-based) TIMES times (1)\n"
               "  --silent-after-blocks N  answer nothing after N blocks (lines with --ack)\n"
               "  --reply-garbage-at N   answer block (line) N with a stray byte\n"
               "  --drop-after-blocks N  close the line after N blocks (lines)\n"
               "  --cancel-at-start      version 1: send CAN instead of \"C\"\n"
               "\n"
               "Boot monitor console (the device the Lua examples talk to):\n"
               "  --console        a banner and a \"=> \" prompt that answers version, meminfo,\n"
               "                   selftest, loady (YMODEM, recorded), boot (a login: root,\n"
               "                   password devsim), reset and help; a backslash at the\n"
               "                   prompt wakes the boot loader (--boot-version, --flash-kb)\n"
               "  --autoboot N     --console with \"Hit any key to stop autoboot\" counting\n"
               "                   down N seconds; a key stops it, else it boots to the login\n"
               "  --version        print the version and exit\n"
               "  -h, --help       show this help\n",
               to);
}

bool parseUnsigned(std::string_view text, std::uint32_t& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const std::string copy(text);
    const unsigned long v = std::strtoul(copy.c_str(), &end, 10);
    if (*end != '\0' || v > 0xFFFFFFFFul)
        return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// Control bytes written the C way, so a test can make the device say them.
bool unescape(std::string_view text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
        case 'r': out.push_back('\r'); break;
        case 'n': out.push_back('\n'); break;
        case 'e': out.push_back('\x1b'); break;
        case '\\': out.push_back('\\'); break;
        case 'x': {
            const std::string hex(text.substr(i + 1, 2));
            if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0]))
                || !std::isxdigit(static_cast<unsigned char>(hex[1])))
                return false;
            const unsigned long v = std::strtoul(hex.c_str(), nullptr, 16);
            out.push_back(static_cast<char>(v));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    devsim::DeviceOptions device;
    devsim::RunnerOptions runner;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view option) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "merovan-devsim: %.*s needs a value\n", static_cast<int>(option.size()),
                             option.data());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("merovan-devsim %s\n", MEROVAN_VERSION);
            return 0;
        } else if (arg == "--link") {
            runner.link = value(arg);
        } else if (arg == "--record") {
            runner.record = value(arg);
        } else if (arg == "--sent") {
            runner.sent = value(arg);
        } else if (arg == "--stream") {
            if (!parseUnsigned(value(arg), device.streamRate) || device.streamRate == 0) {
                std::fprintf(stderr, "merovan-devsim: --stream takes a rate in bytes a second, above 0\n");
                return 2;
            }
        } else if (arg == "--stream-series" || arg == "--series") {
            std::uint32_t v = 0;
            if (!parseUnsigned(value(arg), v) || v == 0 || (arg == "--series" && v > 64)) {
                std::fprintf(stderr, "merovan-devsim: %s takes a whole number above 0%s\n", argv[i - 1],
                             arg == "--series" ? ", at most 64" : "");
                return 2;
            }
            (arg == "--series" ? device.seriesCount : device.seriesRate) = v;
        } else if (arg == "--rate") {
            if (!parseUnsigned(value(arg), runner.rate)) {
                std::fprintf(stderr, "merovan-devsim: --rate takes a whole number of baud\n");
                return 2;
            }
        } else if (arg == "--drop-after-bytes") {
            std::uint32_t v = 0;
            if (!parseUnsigned(value(arg), v) || v == 0) {
                std::fprintf(stderr, "merovan-devsim: --drop-after-bytes takes a whole number above 0\n");
                return 2;
            }
            runner.dropAfterBytes = v;
        } else if (arg == "--cts-hold" || arg == "--cts-hold-after") {
            std::uint32_t v = 0;
            if (!parseUnsigned(value(arg), v) || (arg == "--cts-hold-after" && v == 0)) {
                std::fprintf(stderr, "merovan-devsim: %s takes a whole number\n", argv[i - 1]);
                return 2;
            }
            (arg == "--cts-hold" ? runner.holdMs : runner.holdAfter) = v;
        } else if (arg == "--echo") {
            device.echo = true;
        } else if (arg == "--no-echo") {
            device.echo = false;
        } else if (arg == "--ack" || arg == "--error") {
            std::uint32_t v = 0;
            if (!parseUnsigned(value(arg), v) || v > 255) {
                std::fprintf(stderr, "merovan-devsim: %s takes a byte value 0 to 255\n", argv[i - 1]);
                return 2;
            }
            (arg == "--ack" ? device.ack : device.error) = static_cast<int>(v);
        } else if (arg == "--boot") {
            device.boot = true;
        } else if (arg == "--boot-version" || arg == "--flash-kb" || arg == "--silent-after-blocks"
                   || arg == "--reply-garbage-at" || arg == "--drop-after-blocks") {
            std::uint32_t v = 0;
            if (!parseUnsigned(value(arg), v)) {
                std::fprintf(stderr, "merovan-devsim: %s takes a whole number\n", argv[i - 1]);
                return 2;
            }
            if (arg == "--boot-version")
                device.bootVersion = v == 1 ? 1 : 2;
            else if (arg == "--flash-kb")
                device.flashKb = v;
            else if (arg == "--silent-after-blocks")
                device.silentAfterBlocks = static_cast<int>(v);
            else if (arg == "--reply-garbage-at")
                device.replyGarbageAt = static_cast<int>(v);
            else
                device.dropAfterBlocks = static_cast<int>(v);
        } else if (arg == "--nak-block") {
            const std::string spec = value(arg);
            const auto colon = spec.find(':');
            std::uint32_t block = 0;
            std::uint32_t times = 1;
            if (!parseUnsigned(spec.substr(0, colon), block)
                || (colon != std::string::npos && !parseUnsigned(spec.substr(colon + 1), times))) {
                std::fprintf(stderr, "merovan-devsim: --nak-block takes N or N:TIMES\n");
                return 2;
            }
            device.nakBlock = static_cast<int>(block);
            device.nakTimes = static_cast<int>(times);
        } else if (arg == "--no-subversion") {
            device.noSubversion = true;
        } else if (arg == "--cancel-at-start") {
            device.cancelAtStart = true;
        } else if (arg == "--error-on") {
            device.errorOn = value(arg);
        } else if (arg == "--greeting") {
            if (!unescape(value(arg), device.greetingText)) {
                std::fprintf(stderr, "merovan-devsim: --greeting: a bad escape\n");
                return 2;
            }
        } else if (arg == "--play") {
            const std::string file(value(arg));
            std::FILE* f = std::fopen(file.c_str(), "rb");
            if (!f) {
                std::fprintf(stderr, "merovan-devsim: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
                return 2;
            }
            for (int c; (c = std::fgetc(f)) != EOF;)
                device.play.push_back(static_cast<std::uint8_t>(c));
            std::fclose(f);
        } else if (arg == "--console") {
            device.console = true;
        } else if (arg == "--autoboot") {
            std::uint32_t v = 0;
            if (!parseUnsigned(value(arg), v) || v > 99) {
                std::fprintf(stderr, "merovan-devsim: --autoboot takes a number of seconds, 0 to 99\n");
                return 2;
            }
            device.autoboot = static_cast<int>(v);
        } else if (arg == "--no-greeting") {
            device.greeting = false;
        } else {
            std::fprintf(stderr, "merovan-devsim: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto model = devsim::makeDevice(device);
    return devsim::runOnPty(*model, runner, g_stop);
}
