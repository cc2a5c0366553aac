// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli render: a raw capture through the terminal engine.

#include "cli_common.h"
#include "cli_platform.h"
#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace merovan::cli {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

struct FileCloser
{
    void operator()(std::FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};

struct RenderOptions
{
    int cols = 80;
    int rows = 24;
    bool html = false;
    bool latin1 = false; // single-byte characters instead of UTF-8
};

// Feeds the file (or standard input for "-") through the terminal engine and
// writes the lines that scrolled off, then the final screen's rows, each
// without trailing blanks and with trailing empty rows dropped; as HTML with
// CSS colours when asked. Returns the exit status: 0, or 1 with a message on
// stderr when the input cannot be read.
int runRender(const RenderOptions& options, const std::string& file)
{
    std::unique_ptr<std::FILE, FileCloser> owned;
    std::FILE* in = stdin;
    const std::string name = file == "-" ? std::string("standard input") : file;
    if (file == "-") {
        makeStdinBinary();
    } else {
        errno = 0;
        owned.reset(std::fopen(file.c_str(), "rb"));
        if (!owned) {
            std::fprintf(stderr, "Cannot read %s: %s\n", file.c_str(), std::strerror(errno != 0 ? errno : EIO));
            return kExitFailure;
        }
        in = owned.get();
    }

    const VtHtmlColors colors;
    std::string out;
    auto writeLine = [&](const VtLine& line) {
        out += options.html ? vtLineHtml(line, colors) : vtLineText(line);
        out += '\n';
        if (out.size() >= kChunk) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    };

    VtScreen screen(options.rows, options.cols);
    screen.setUtf8(!options.latin1);
    if (options.html) {
        screen.setScrollbackHandler(writeLine);
    } else {
        screen.setScrollbackTextHandler([&](std::string_view lines) {
            out += lines;
            if (out.size() >= kChunk) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        });
    }
    if (options.html)
        out += vtHtmlBegin(colors);

    std::vector<std::uint8_t> buffer(kChunk);
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0)
            screen.feed(std::span<const std::uint8_t>(buffer.data(), n));
        if (n < buffer.size()) {
            if (std::ferror(in)) {
                std::fprintf(stderr, "Cannot read %s: %s\n", name.c_str(), std::strerror(errno != 0 ? errno : EIO));
                return kExitFailure;
            }
            break;
        }
    }

    int last = screen.rows() - 1;
    // In HTML a row of coloured blanks still shows.
    auto empty = [&](int r) { return options.html ? screen.row(r).empty() : vtLineText(screen.row(r)).empty(); };
    while (last >= 0 && empty(last))
        --last;
    for (int r = 0; r <= last; ++r)
        writeLine(screen.row(r));
    if (options.html)
        out += vtHtmlEnd();
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

} // namespace

int cmdRender(SerialPort&, const Options& o)
{
    if (o.positional.size() != 1)
        usageError("render needs one FILE, or - for standard input");
    constexpr long kMaxSide = 1000;
    if (o.cols < 1 || o.cols > kMaxSide || o.rows < 1 || o.rows > kMaxSide)
        usageError("--cols and --rows take 1 to 1000");
    RenderOptions r;
    r.cols = static_cast<int>(o.cols);
    r.rows = static_cast<int>(o.rows);
    r.html = o.html;
    r.latin1 = o.latin1;
    return runRender(r, o.positional.front());
}

} // namespace merovan::cli
