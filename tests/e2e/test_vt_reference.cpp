// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli render against a reference emulator of another make (tmux),
// on captures of real programs (tests/data/vt/*.raw, recorded with
// tests/data/vt/record.py), and its own options and failures.

#include "support/process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using merovan::test::runProgram;

namespace {

const std::string kCli = MEROVAN_CLI_PATH;
const fs::path kData = fs::path(MEROVAN_TEST_DATA) / "vt";
const std::string kTmuxRender = MEROVAN_TMUX_RENDER;

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(line);
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool haveTmux()
{
    return ::access("/usr/bin/tmux", X_OK) == 0;
}

} // namespace

TEST(VtReference, RenderShowsWhatTmuxShowsForRecordedPrograms)
{
    if (!haveTmux()) {
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")
            FAIL() << "tmux, the reference emulator, is not installed; CI must run this test (tools/install-deps.sh)";
        GTEST_SKIP() << "tmux, the reference emulator, is not installed (tools/install-deps.sh)";
    }
    const fs::path work = fs::temp_directory_path() / ("merovan-vt-" + std::to_string(::getpid()));
    fs::create_directories(work);
    std::vector<fs::path> captures;
    for (const char* name : { "shell", "vim", "less", "top", "esp_log" })
        captures.push_back(kData / (std::string(name) + ".raw"));
    // Each capture is also cut short before an escape in its first and
    // second half, so the screens mid-session are compared too.
    for (const char* name : { "vim", "less", "top", "shell" }) {
        const std::string bytes = readFile(kData / (std::string(name) + ".raw"));
        ASSERT_FALSE(bytes.empty()) << name;
        for (const std::size_t fraction : { 3u, 2u }) {
            const std::size_t at = bytes.find('\x1b', bytes.size() / fraction);
            if (at == std::string::npos)
                continue;
            const fs::path cut = work / (std::string(name) + "-" + std::to_string(at) + ".raw");
            std::ofstream(cut, std::ios::binary) << bytes.substr(0, at);
            captures.push_back(cut);
        }
    }
    for (const fs::path& capture : captures) {
        SCOPED_TRACE(capture.filename().string());
        const auto reference = runProgram("/bin/bash", { kTmuxRender, capture.string() }, 60000);
        ASSERT_EQ(reference.exitCode, 0) << reference.err;
        const auto ours = runProgram(kCli, { "render", capture.string() });
        ASSERT_EQ(ours.exitCode, 0) << ours.err;
        const std::vector<std::string> expected = linesOf(reference.out);
        ASSERT_GE(expected.size(), 3u) << "the reference shows the program";
        EXPECT_EQ(linesOf(ours.out), expected);
    }
    fs::remove_all(work);
}

TEST(VtReference, RenderOptionsAndFailures)
{
    const fs::path work = fs::temp_directory_path() / ("merovan-render-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path input = work / "in.raw";
    std::ofstream(input, std::ios::binary) << "1\r\n2\r\n3\r\n\x1b[1;31mfour\x1b[0m 4\r\n5   \r\n\r\n";

    struct Run
    {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string out;      // exactly, when not empty
        std::string contains; // in out or err
    };
    const Run table[] = {
        { "scrolled lines, then the screen", { "render", "--rows", "3", input.string() }, 0, "1\n2\n3\nfour 4\n5\n", "" },
        { "the default 80x24 has no scrolling", { "render", input.string() }, 0, "1\n2\n3\nfour 4\n5\n", "" },
        { "narrow columns wrap", { "render", "--cols", "3", input.string() }, 0, "1\n2\n3\nfou\nr 4\n5\n", "" },
        { "html", { "render", "--html", input.string() }, 0, "",
          "<span style=\"color:#ff0000;font-weight:bold;\">four</span> 4\n5\n</pre>" },
        { "a missing file", { "render", (work / "none.raw").string() }, 1, "", "Cannot read" },
        { "no file", { "render" }, 2, "", "render needs one FILE" },
        { "zero columns", { "render", "--cols", "0", input.string() }, 2, "", "--cols and --rows" },
    };
    for (const Run& r : table) {
        SCOPED_TRACE(r.name);
        const auto result = runProgram(kCli, r.args);
        EXPECT_EQ(result.exitCode, r.exitCode) << result.err;
        if (!r.out.empty()) {
            EXPECT_EQ(result.out, r.out);
        }
        if (!r.contains.empty()) {
            EXPECT_NE((result.out + result.err).find(r.contains), std::string::npos) << result.out << result.err;
        }
    }

    // Standard input, and an endless string that must not swallow the rest.
    const fs::path endless = work / "endless.raw";
    std::ofstream(endless, std::ios::binary) << "\x1b]0;" << std::string(1 << 20, 'x') << "\x1b[2J\x1b[Hvisible";
    const auto piped = runProgram("/bin/sh", { "-c", "'" + kCli + "' render - < '" + endless.string() + "'" });
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_NE(piped.out.find("visible"), std::string::npos);
    fs::remove_all(work);
}
