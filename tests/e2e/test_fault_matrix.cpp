// SPDX-License-Identifier: GPL-3.0-or-later
// Every transfer against every fault the simulated device can show, over a
// real pseudo-terminal: the exit code and message, a run time within the
// protocol's own time-outs, no crash, and where the device reports success,
// exactly the right bytes.

#include "support/hex_builder.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

struct Cell
{
    std::string name;
    std::vector<std::string> device;  // merovan-devsim options
    std::vector<std::string> command; // merovan-cli arguments; "{port}" is replaced
    int code;
    std::string message;              // stderr, line end excluded; empty for none
    std::optional<std::string> record; // what the device must have received, when it succeeded
    int boundSeconds;
};

struct Outcome
{
    int code = -1;
    std::string err;
    double seconds = 0;
    std::string recorded;
    bool deviceAlive = true;
};

Outcome run(const Cell& cell, const std::string& record)
{
    std::vector<std::string> device = cell.device;
    device.insert(device.end(), { "--record", record });
    Devsim sim(device);
    std::vector<std::string> args = cell.command;
    for (auto& a : args)
        if (a == "{port}")
            a = sim.port();
    args.push_back("--quiet"); // stderr holds the failure alone
    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    const auto r = runProgram(MEROVAN_CLI_PATH, args, (cell.boundSeconds + 30) * 1000);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.code = r.exitCode;
    o.err = r.err;
    if (cell.record)
        merovan::test::waitForFileSize(record, cell.record->size(), 3000);
    o.recorded = readFile(record);
    return o;
}

std::string bytes(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

} // namespace

TEST(FaultMatrix, EveryTransferAgainstEveryFault)
{
    const std::string dir = tempPath("matrix");
    fs::create_directories(dir);
    auto write = [&](const std::string& name, const std::string& content) {
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
        return dir + "/" + name;
    };

    std::string text, textSent;
    for (int i = 1; i <= 50; ++i) {
        text += "line " + std::to_string(i) + "\n";
        textSent += "line " + std::to_string(i) + "\r";
    }
    const std::string textFile = write("prog.bas", text);
    const std::string binary = bytes(100000, 1);
    const std::string binFile = write("data.bin", binary);
    const std::string fontFile = std::string(MEROVAN_TEST_DATA) + "/fonts/RicoTech_bin_font_courier_new.bff";
    // A 2 x 1 picture: a white and a (3, 4, 255) pixel.
    std::string bmp("BM", 2);
    auto le32 = [](std::uint32_t v) { return std::string { char(v), char(v >> 8), char(v >> 16), char(v >> 24) }; };
    bmp += le32(62) + le32(0) + le32(54) + le32(40) + le32(2) + le32(1) + std::string("\x01\x00\x18\x00", 4) + le32(0)
        + le32(8) + le32(0) + le32(0) + le32(0) + le32(0);
    bmp += std::string("\xff\xff\xff\xff\x04\x03\x00\x00", 8);
    const std::string bmpFile = write("pic.bmp", bmp);
    const std::string pictureSent = std::string("\x00\x01\x00\x02\x3f\x3f\x3f\x00\x01\x3f\r", 11);
    // A larger one, for a line that drops while it goes out: 300 x 200.
    std::string big("BM", 2);
    big += le32(54 + 900 * 200) + le32(0) + le32(54) + le32(40) + le32(300) + le32(200) + std::string("\x01\x00\x18\x00", 4)
        + le32(0) + le32(900 * 200) + le32(0) + le32(0) + le32(0) + le32(0) + bytes(900 * 200, 3);
    const std::string bigBmpFile = write("big.bmp", big);

    std::string bigFont("\xbf\xf2", 2);
    bigFont += le32(512) + le32(832) + le32(64) + le32(64) + std::string("\x08\x20", 2) + std::string(256, '\x20');
    bigFont += bytes(512 * 832, 5);
    const std::string bigFontFile = write("big.bff", bigFont);

    const std::string image = bytes(20000, 7);
    const std::string hexV2 = write("v2.hex", merovan::test::makeHex({ image.begin(), image.end() }, 0x1D000000));
    const std::string hexV1 = write("v1.hex", merovan::test::makeHex({ image.begin(), image.end() }, 0x1D008000));
    // What the loaders record: whole blocks, erased flash past the image
    // (which is one byte longer than the data).
    std::string v2Image = image;
    v2Image.resize((image.size() + 1) / 2000 * 2000 + 2000, '\xff');
    std::string v1Image = image;
    v1Image.resize((image.size() + 1 + 1023) / 1024 * 1024, '\xff');

    const std::vector<std::string> textCmd { "text-file", "-p", "{port}", "--wait", "6", "--error", "5", textFile };
    const std::vector<std::string> binCmd { "binary", "-p", "{port}", binFile };
    const std::vector<std::string> bootV2 { "boot", "-p", "{port}", "--flash-kb", "512", hexV2 };
    const std::vector<std::string> bootV1 { "boot", "-p", "{port}", "--flash-kb", "512", hexV1 };
    const std::vector<std::string> quiet { "--no-echo", "--no-greeting" };
    auto dev = [&](std::vector<std::string> extra) {
        std::vector<std::string> d = quiet;
        d.insert(d.end(), extra.begin(), extra.end());
        return d;
    };
    const std::string timeout = "Timeout waiting for ACK";
    const std::string portGone = "COM port not opened";

    const std::vector<Cell> cells {
        { "text ok", dev({ "--ack", "6" }), textCmd, 0, "", textSent + "\r", 10 },
        { "text silent from the start", dev({}), textCmd, 2, timeout, std::nullopt, 10 },
        { "text silent mid-way", dev({ "--ack", "6", "--silent-after-blocks", "20" }), textCmd, 2, timeout, std::nullopt, 10 },
        { "text silent at the end", dev({ "--ack", "6", "--silent-after-blocks", "49" }), textCmd, 2, timeout, std::nullopt, 10 },
        { "text error character", dev({ "--ack", "6", "--error", "5", "--error-on", "line 20" }), textCmd, 3,
          "Transfer canceled by target error", std::nullopt, 10 },
        { "text garbage reply", dev({ "--ack", "6", "--reply-garbage-at", "5" }), textCmd, 2, timeout, std::nullopt, 10 },
        { "text line dropped", dev({ "--ack", "6", "--drop-after-blocks", "10" }), textCmd, 5, portGone, std::nullopt, 10 },

        { "binary ok", dev({}), binCmd, 0, "", binary + "\r", 10 },
        { "binary held back", dev({ "--cts-hold", "300", "--cts-hold-after", "40000" }), binCmd, 0, "", binary + "\r", 10 },
        { "binary line dropped", dev({ "--drop-after-bytes", "30000" }), binCmd, 2, timeout, std::nullopt, 10 },
        { "picture ok", dev({}), { "picture", "-p", "{port}", bmpFile }, 0, "", pictureSent, 10 },
        { "picture line dropped", dev({ "--drop-after-bytes", "20000" }), { "picture", "-p", "{port}", bigBmpFile }, 5, portGone,
          std::nullopt, 10 },
        { "font ok", dev({}), { "font", "-p", "{port}", fontFile }, 0, "", std::nullopt, 10 },
        // A font with large cells (50 KB of data) at a line rate, so most of
        // it is still on its way when the line drops.
        { "font line dropped", dev({ "--drop-after-bytes", "2000", "--rate", "115200" }),
          { "font", "-p", "{port}", bigFontFile }, 5, portGone,
          std::nullopt, 10 },

        { "boot v2 ok", { "--boot" }, bootV2, 0, "", v2Image, 20 },
        // A device that never answers is taken for version 1, which then
        // never asks for the XMODEM start.
        { "boot silent from the start", dev({}), bootV1, 6, "Can't start loader", std::nullopt, 20 },
        { "boot v2 no sub-version", { "--boot", "--no-subversion" }, bootV2, 7, "Incorrect boot loader version",
          std::nullopt, 20 },
        { "boot v2 size refused", { "--boot", "--flash-kb", "8" }, bootV2, 8, "Program too big for available flash",
          std::nullopt, 20 },
        { "boot v2 silent mid-way", { "--boot", "--silent-after-blocks", "3" }, bootV2, 9, "No ACK from target",
          std::nullopt, 20 },
        { "boot v2 silent at the end", { "--boot", "--silent-after-blocks", "10" }, bootV2, 9, "No ACK from target",
          std::nullopt, 20 },
        { "boot v2 NAK storm", { "--boot", "--nak-block", "2:50" }, bootV2, 9, "No ACK from target", std::nullopt, 20 },
        { "boot v2 garbage reply", { "--boot", "--reply-garbage-at", "2" }, bootV2, 9, "No ACK from target",
          std::nullopt, 20 },
        { "boot v2 line dropped", { "--boot", "--drop-after-blocks", "3" }, bootV2, 9, "No ACK from target",
          std::nullopt, 20 },

        { "boot v1 ok", { "--boot", "--boot-version", "1" }, bootV1, 0, "", v1Image, 20 },
        { "boot v1 CAN at start", { "--boot", "--boot-version", "1", "--cancel-at-start" }, bootV1, 26,
          "Xmodem cancelled by target", std::nullopt, 20 },
        { "boot v1 silent mid-way", { "--boot", "--boot-version", "1", "--silent-after-blocks", "5" }, bootV1, 21,
          "Xmodem timeout waiting for ACK/NAK", std::nullopt, 20 },
        { "boot v1 silent at the end", { "--boot", "--boot-version", "1", "--silent-after-blocks", "19" }, bootV1, 21,
          "Xmodem timeout waiting for ACK/NAK", std::nullopt, 20 },
        { "boot v1 NAK storm", { "--boot", "--boot-version", "1", "--nak-block", "3:50" }, bootV1, 22,
          "Xmodem no ACK recieved from target", std::nullopt, 20 },
        { "boot v1 garbage reply", { "--boot", "--boot-version", "1", "--reply-garbage-at", "4" }, bootV1, 22,
          "Xmodem no ACK recieved from target", std::nullopt, 20 },
        { "boot v1 line dropped", { "--boot", "--boot-version", "1", "--drop-after-blocks", "4" }, bootV1, 21,
          "Xmodem timeout waiting for ACK/NAK", std::nullopt, 20 },
    };

    // Cells run a few at a time; each has its own device and files.
    constexpr std::size_t kParallel = 6;
    std::vector<Outcome> outcomes(cells.size());
    for (std::size_t first = 0; first < cells.size(); first += kParallel) {
        std::vector<std::future<Outcome>> running;
        for (std::size_t i = first; i < std::min(cells.size(), first + kParallel); ++i)
            running.push_back(std::async(std::launch::async, run, std::cref(cells[i]),
                                         dir + "/record" + std::to_string(i)));
        for (std::size_t i = first; i < std::min(cells.size(), first + kParallel); ++i)
            outcomes[i] = running[i - first].get();
    }

    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& c = cells[i];
        const Outcome& o = outcomes[i];
        SCOPED_TRACE(c.name);
        // A transfer's result R exits as 64 + R; a signal shows as -1.
        EXPECT_EQ(o.code, c.code == 0 ? 0 : 64 + c.code) << o.err;
        EXPECT_EQ(o.err, c.message.empty() ? std::string() : c.message + "\n");
        EXPECT_LT(o.seconds, c.boundSeconds);
        if (c.record) {
            EXPECT_TRUE(o.recorded == *c.record) << "recorded " << o.recorded.size() << " bytes, expected "
                                                 << c.record->size();
        }
    }
    fs::remove_all(dir);
}
