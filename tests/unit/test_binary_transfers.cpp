// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"
#include "support/bmp_builder.h"
#include "support/fake_backend.h"
#include "transfer/binary_transfers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace merovan;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

class BinaryTransfers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(dir);
        fake = new FakeBackend(clock, log);
        port = std::make_unique<SerialPort>(clock, std::unique_ptr<FakeBackend>(fake));
        ASSERT_EQ(port->openPort("/dev/fake", "9600,8,N,1"), 0);
        previous = fs::current_path();
        fs::current_path(dir); // the picture header goes to the current folder
    }
    void TearDown() override
    {
        fs::current_path(previous);
        fs::remove_all(dir);
    }

    std::string file(const std::string& name, const Bytes& content)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                    static_cast<std::streamsize>(content.size()));
        return path;
    }

    std::string slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TransferRequest request(const std::string& path, bool create = false, std::string first = {})
    {
        TransferRequest r(*port);
        r.fileName = path;
        r.createFile = create ? 1 : 0;
        r.sendFirst = std::move(first);
        log.writes.clear();
        calls.clear();
        return r;
    }

    ProgressCallback progress(int cancelAtCall = -1)
    {
        return [this, cancelAtCall](std::int32_t max, std::int32_t pos) {
            calls.emplace_back(max, pos);
            return static_cast<int>(calls.size()) == cancelAtCall ? 1 : 0;
        };
    }

    std::string dir = (fs::temp_directory_path() / ("merovan-bin-" + std::to_string(::getpid()))).string();
    fs::path previous;
    FakeClock clock;
    FakeLineLog log;
    FakeBackend* fake = nullptr;
    std::unique_ptr<SerialPort> port;
    std::vector<std::pair<std::int32_t, std::int32_t>> calls;
};

Bytes stream(const FakeLineLog& log)
{
    Bytes all;
    for (const auto& w : log.writes)
        all.insert(all.end(), w.begin(), w.end());
    return all;
}

} // namespace

TEST_F(BinaryTransfers, BinaryFilesGoOutUnchanged)
{
    for (std::size_t size : { 10u, 8u, 0u, 10000u }) {
        Bytes data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::uint8_t>(i * 31);
        auto r = request(file("f.bin", data), false, "go\\r");
        EXPECT_EQ(sendBinaryFile(r, progress()), TransferResult::Success) << size;
        Bytes expected = { 'g', 'o', '\r' };
        expected.insert(expected.end(), data.begin(), data.end());
        EXPECT_EQ(stream(log), expected) << size;
        EXPECT_EQ(calls.front(), std::make_pair(static_cast<std::int32_t>(size), 0));
        for (std::size_t i = 1; i < calls.size(); ++i)
            EXPECT_EQ(calls[i].second - calls[i - 1].second, 4096) << "progress at least every 4 KB";
    }
}

TEST_F(BinaryTransfers, BinaryFailures)
{
    auto big = request(file("big.bin", Bytes(130002, 1)));
    EXPECT_EQ(sendBinaryFile(big, progress(3)), TransferResult::Canceled);
    EXPECT_EQ(calls.front(), std::make_pair(43334, 0)) << "divisor 3 for 130,002 bytes";
    EXPECT_EQ(stream(log).size(), 2u * 4096) << "a cancel stops after the current write";

    auto exact = request(file("exact.bin", Bytes(130000, 1)));
    EXPECT_EQ(sendBinaryFile(exact, progress(1)), TransferResult::Canceled);
    EXPECT_EQ(calls.front(), std::make_pair(65000, 0));
    EXPECT_TRUE(log.writes.empty());

    auto gone = request(file("g.bin", Bytes(20000, 2)));
    fake->vanished = true;
    EXPECT_EQ(sendBinaryFile(gone, progress()), TransferResult::Timeout) << "a failed write";

    auto missing = request(dir + "/none.bin");
    EXPECT_EQ(sendBinaryFile(missing, progress()), TransferResult::PortNotOpen);
}

TEST_F(BinaryTransfers, PicturesBecomeTheDeviceStream)
{
    const auto white = [](std::uint32_t, std::uint32_t) { return std::array<std::uint8_t, 3> { 255, 255, 255 }; };
    auto r = request(file("p.bmp", test::makeBmp24(2, 2, white)));
    EXPECT_EQ(sendPicture(r, progress()), TransferResult::Success);
    ASSERT_EQ(log.writes.size(), 2u);
    EXPECT_EQ(log.writes[0], (Bytes { 0, 2, 0, 2 }));
    EXPECT_EQ(log.writes[1], Bytes(12, 63)) << "one final write";

    auto wide = request(file("w.bmp", test::makeBmp24(30, 1, white)));
    EXPECT_EQ(sendPicture(wide, progress()), TransferResult::Success);
    ASSERT_EQ(log.writes.size(), 3u);
    EXPECT_EQ(log.writes[1].size(), 66u);
    EXPECT_EQ(log.writes[2].size(), 24u);

    auto big = request(file("b.bmp", test::makeBmp24(300, 2, white)));
    EXPECT_EQ(sendPicture(big, progress()), TransferResult::Success);
    EXPECT_EQ(log.writes[0], (Bytes { 0, 2, 1, 44 }));
    EXPECT_EQ(calls.front(), std::make_pair(2, 0));

    const auto mixed = [](std::uint32_t x, std::uint32_t) {
        return x == 0 ? std::array<std::uint8_t, 3> { 3, 4, 255 } : std::array<std::uint8_t, 3> { 255, 255, 255 };
    };
    auto one = request(file("m.bmp", test::makeBmp24(2, 1, mixed)));
    EXPECT_EQ(sendPicture(one, progress()), TransferResult::Success);
    EXPECT_EQ(log.writes[1], (Bytes { 0, 1, 63, 63, 63, 63 }));
}

TEST_F(BinaryTransfers, TheHeaderFileHoldsTheSameBytes)
{
    const auto mixed = [](std::uint32_t x, std::uint32_t) {
        return x == 0 ? std::array<std::uint8_t, 3> { 3, 4, 255 } : std::array<std::uint8_t, 3> { 255, 255, 255 };
    };
    // Instead of sending: with the port open and a text to send first,
    // nothing at all goes to the port.
    auto open = request(file("m.bmp", test::makeBmp24(2, 1, mixed)), true, "first\\r");
    std::string where;
    EXPECT_EQ(sendPicture(open, progress(), &where), TransferResult::Success);
    EXPECT_EQ(where, (fs::path(dir) / "bmpHead.h").string());
    EXPECT_EQ(slurp(where), "\nconst unsigned char pic[]={ 0,1,0,2,0,1,63,63,63,63 };\n");
    EXPECT_TRUE(log.writes.empty()) << "nothing goes to the port";
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(1, 0));

    port->closePort(); // writing the header needs no port
    fs::remove(where);
    auto r = request(file("m.bmp", test::makeBmp24(2, 1, mixed)), true);
    EXPECT_EQ(sendPicture(r, progress(), &where), TransferResult::Success);
    EXPECT_EQ(slurp(where), "\nconst unsigned char pic[]={ 0,1,0,2,0,1,63,63,63,63 };\n");

    // Six pixels to a line; a second run replaces the file.
    const auto grey = [](std::uint32_t, std::uint32_t) { return std::array<std::uint8_t, 3> { 8, 8, 8 }; };
    auto seven = request(file("s.bmp", test::makeBmp24(7, 1, grey)), true);
    EXPECT_EQ(sendPicture(seven, progress()), TransferResult::Success);
    EXPECT_EQ(slurp(where), "\nconst unsigned char pic[]={ 0,1,0,7" + std::string(",2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2")
                                + "\n,2,2,2 };\n");
    EXPECT_FALSE(fs::exists(where + ".part"));
}

TEST_F(BinaryTransfers, PictureFailures)
{
    auto eight = request(file("8.bmp", test::makeBmp(2, 1, 8, { 1, 2, 0, 0 }, 4, 256)));
    EXPECT_EQ(sendPicture(eight, progress()), TransferResult::ColourDepth);
    EXPECT_TRUE(log.writes.empty());
    EXPECT_TRUE(calls.empty());

    auto bad = request(file("bad.bmp", Bytes(10, 0)));
    EXPECT_EQ(sendPicture(bad, progress()), TransferResult::CantOpenFile);

    const auto white = [](std::uint32_t, std::uint32_t) { return std::array<std::uint8_t, 3> { 255, 255, 255 }; };
    auto canceled = request(file("c.bmp", test::makeBmp24(4, 4, white)));
    EXPECT_EQ(sendPicture(canceled, progress(1)), TransferResult::Canceled);
    EXPECT_TRUE(log.writes.empty());

    fs::create_directories(dir + "/bmpHead.h.part/blocked");
    fs::create_directories(dir + "/sub");
    auto noHeader = request(file("h.bmp", test::makeBmp24(2, 2, white)), true);
    EXPECT_EQ(sendPicture(noHeader, progress()), TransferResult::CantCreateFile);

    port->closePort();
    auto closed = request(file("p.bmp", test::makeBmp24(2, 2, white)));
    EXPECT_EQ(sendPicture(closed, progress()), TransferResult::PortNotOpen);
}

TEST_F(BinaryTransfers, FontsGoOutInBlocksOrToABfFile)
{
    // 8 x 8 cells, 96 of them: T = 792.
    Bytes font(276, 0);
    font[0] = 0xBF;
    font[1] = 0xF2;
    test::put32(font, 2, 128);
    test::put32(font, 6, 48);
    test::put32(font, 10, 8);
    test::put32(font, 14, 8);
    font[18] = 24;
    font[19] = 32;
    for (int c = 0; c < 256; ++c)
        font[20 + static_cast<std::size_t>(c)] = 5;
    font.resize(276 + 128 * 48 * 3, 0);
    const std::string path = file("big.bff", font);

    auto sent = request(path, false, "F");
    EXPECT_EQ(sendFont(sent, progress()), TransferResult::Success);
    ASSERT_EQ(log.writes.size(), 1u + 11u + 4u) << "the text first, 11 header bytes one by one, four blocks";
    EXPECT_EQ(log.writes[0], Bytes { 'F' });
    Bytes header;
    for (std::size_t i = 1; i <= 11; ++i)
        header.push_back(log.writes[i][0]);
    EXPECT_EQ(header, (Bytes { 3, 8, 7, 8, 5, 5, 8, 0, 3, 8, 0 }));
    for (std::size_t i = 12; i < 16; ++i)
        EXPECT_EQ(log.writes[i].size(), 200u);
    EXPECT_EQ(log.writes[15][199], 0) << "past T the block is zero";

    auto created = request(path, true, "not sent");
    std::string where;
    EXPECT_EQ(sendFont(created, progress(), &where), TransferResult::Success);
    EXPECT_EQ(where, dir + "/big.bf");
    EXPECT_EQ(fs::file_size(where), 803u);
    EXPECT_TRUE(log.writes.empty()) << "nothing goes to the port";
    EXPECT_EQ(slurp(where).substr(0, 11), std::string(reinterpret_cast<const char*>(header.data()), 11));

    // A cancel leaves no finished-looking file behind.
    fs::remove(where);
    auto canceled = request(path, true);
    EXPECT_EQ(sendFont(canceled, progress(1)), TransferResult::Canceled);
    EXPECT_FALSE(fs::exists(where));
    EXPECT_FALSE(fs::exists(where + ".part"));

    auto bad = request(file("bad.bff", Bytes(300, 1)));
    EXPECT_EQ(sendFont(bad, progress()), TransferResult::CantOpenFile);
    auto missing = request(dir + "/none.bff");
    EXPECT_EQ(sendFont(missing, progress()), TransferResult::CantOpenFile);
}

TEST(FontNames, BfFilesSitBesideTheFont)
{
    EXPECT_EQ(binaryFontPath("/f/big.bff"), "/f/big.bf");
    EXPECT_EQ(binaryFontPath("/f.d/plain"), "/f.d/plain.bf");
    EXPECT_EQ(binaryFontPath("noext"), "noext.bf");
    EXPECT_EQ(fontProgressDivisor(200000), 3);
    EXPECT_EQ(200000 / fontProgressDivisor(200000), 66666);
    EXPECT_EQ(fontProgressDivisor(65000), 1);
}
