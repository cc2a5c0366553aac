// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/intel_hex.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace merovan;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hexByte(unsigned v)
{
    char s[3];
    std::snprintf(s, sizeof s, "%02X", v & 0xFF);
    return s;
}

// One record with a correct checksum (or a broken one).
std::string record(unsigned type, unsigned address, const Bytes& data, bool breakChecksum = false)
{
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::string line = ":";
    line += hexByte(static_cast<unsigned>(data.size()));
    line += hexByte(address >> 8);
    line += hexByte(address);
    line += hexByte(type);
    for (const auto b : data) {
        line += hexByte(b);
        sum += b;
    }
    line += hexByte((0x100 - (sum & 0xFF)) + (breakChecksum ? 1 : 0));
    return line + "\r\n";
}

std::string upper(unsigned high)
{
    return record(4, 0, { static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high) });
}

const std::string kEnd = ":00000001FF\r\n";

struct Converted
{
    int result = -1;
    std::int32_t size = 0;
    Bytes image;
};

Converted convert(const std::string& text, std::uint32_t start, std::uint32_t flashSize)
{
    Converted c;
    c.image.assign(flashSize + 2000, 0xFF);
    c.result = convertHex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), start,
                          flashSize, c.image, c.size);
    return c;
}

Bytes pseudoRandom(std::size_t n, std::uint32_t seed)
{
    Bytes b(n);
    for (auto& x : b) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<std::uint8_t>(seed >> 24);
    }
    return b;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class SrecFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
        dir = fs::temp_directory_path() / ("merovan-hex-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // srec_cat writes data as Intel HEX at address, in records of blockSize bytes.
    std::string makeHex(const Bytes& data, std::uint32_t address, int blockSize)
    {
        const std::string bin = (dir / "in.bin").string();
        const std::string hex = (dir / "out.hex").string();
        std::ofstream(bin, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    static_cast<std::streamsize>(data.size()));
        char cmd[1024];
        std::snprintf(cmd, sizeof cmd,
                      "srec_cat %s -binary -offset 0x%X -o %s -intel -address-length=4 -output_block_size=%d",
                      bin.c_str(), address, hex.c_str(), blockSize);
        EXPECT_EQ(std::system(cmd), 0) << cmd;
        return slurp(hex);
    }

    // srec_cat's own flat image of a HEX file over [start, start + length).
    Bytes srecImage(const std::string& hexText, std::uint32_t start, std::uint32_t length)
    {
        const std::string hex = (dir / "ref.hex").string();
        const std::string bin = (dir / "ref.bin").string();
        std::ofstream(hex, std::ios::binary) << hexText;
        char cmd[1024];
        std::snprintf(cmd, sizeof cmd,
                      "srec_cat %s -intel -fill 0xFF 0x%X 0x%X -crop 0x%X 0x%X -offset -0x%X -o %s -binary", hex.c_str(),
                      start, start + length, start, start + length, start, bin.c_str());
        EXPECT_EQ(std::system(cmd), 0) << cmd;
        const std::string s = slurp(bin);
        return Bytes(s.begin(), s.end());
    }

    fs::path dir;
};

} // namespace

TEST_F(SrecFiles, RealToolOutputConvertsLikeSrecCatsOwnImage)
{
    const Bytes data = pseudoRandom(150000, 7);
    const struct {
        std::uint32_t start;
        std::uint32_t at; // where the data lies: straddling 64 KiB boundaries
        int block;
    } cases[] = {
        { 0x1D000000, 0x1D000000, 16 },  { 0x1D000000, 0x1D00F000, 32 }, { 0x1D008000, 0x1D008000, 64 },
        { 0x1D008000, 0x1D00FFF1, 255 },
    };
    for (const auto& c : cases) {
        const std::string text = makeHex(data, c.at, c.block);
        const Converted got = convert(text, c.start, 512 * 1024);
        ASSERT_EQ(got.result, kHexConverted) << c.block;
        const std::uint32_t spanned = c.at - c.start + static_cast<std::uint32_t>(data.size());
        EXPECT_EQ(got.size, static_cast<std::int32_t>(spanned + 1)) << "one more than the bytes spanned";
        const Bytes reference = srecImage(text, c.start, spanned);
        ASSERT_EQ(reference.size(), spanned);
        EXPECT_TRUE(std::equal(reference.begin(), reference.end(), got.image.begin())) << c.block;
        EXPECT_EQ(got.image[spanned], 0xFF);
    }
}

TEST_F(SrecFiles, LineEndsAndLetterCaseDoNotMatter)
{
    const Bytes data = pseudoRandom(5000, 3);
    std::string crlf = makeHex(data, 0x1D000000, 32);
    std::string lf;
    for (const char c : crlf)
        if (c != '\r')
            lf.push_back(c);
    std::string lower = lf;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const Converted a = convert(crlf, 0x1D000000, 65536);
    const Converted b = convert(lf, 0x1D000000, 65536);
    const Converted c = convert(lower, 0x1D000000, 65536);
    ASSERT_EQ(a.result, kHexConverted);
    EXPECT_EQ(b.result, kHexConverted);
    EXPECT_EQ(c.result, kHexConverted);
    EXPECT_EQ(a.image, b.image);
    EXPECT_EQ(a.image, c.image);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), a.image.begin()));
}

TEST(IntelHex, OtherRecordTypesAreCheckedButIgnored)
{
    const std::string text = upper(0x1D00) + record(2, 0, { 0x10, 0x00 }) + record(3, 0, { 1, 2, 3, 4 })
        + record(0, 0x0010, { 0xAA, 0xBB }) + record(5, 0, { 0x1D, 0x00, 0x00, 0x00 }) + record(1, 0, { 0x55 }) + kEnd;
    const Converted c = convert(text, 0x1D000000, 1024);
    ASSERT_EQ(c.result, kHexConverted);
    EXPECT_EQ(c.size, 0x13);
    EXPECT_EQ(c.image[0x10], 0xAA);
    EXPECT_EQ(c.image[0x11], 0xBB);
    EXPECT_EQ(c.image[0x0F], 0xFF);
}

TEST(IntelHex, BadChecksumsAndMissingEndsFail)
{
    EXPECT_EQ(convert(upper(0x1D00) + record(0, 0, { 1, 2 }, true) + kEnd, 0x1D000000, 1024).result, kHexFailed);
    EXPECT_EQ(convert(record(4, 0, { 0x1D, 0x00 }, true) + record(0, 0, { 1 }) + kEnd, 0x1D000000, 1024).result,
              kHexFailed);
    EXPECT_EQ(convert(upper(0x1D00) + record(0, 0, { 1, 2 }), 0x1D000000, 1024).result, kHexFailed)
        << "no end record";
    EXPECT_EQ(convert(upper(0x1D00) + ":0400000001", 0x1D000000, 1024).result, kHexFailed) << "cut short";
    EXPECT_EQ(convert(upper(0x1D00) + ":02000000ZZ11EE\r\n" + kEnd, 0x1D000000, 1024).result, kHexFailed)
        << "non-hex characters fail the checksum";
}

TEST(IntelHex, AFailureNamesTheLineAndWhatIsWrong)
{
    const struct
    {
        std::string text;
        std::string why;
    } cases[] = {
        // :02 0000 00 0102 -> checksum FB; broken, it reads FC.
        { upper(0x1D00) + record(0, 0, { 1, 2 }, true) + kEnd, "2: checksum FC, expected FB" },
        { record(4, 0, { 0x1D, 0x00 }, true) + record(0, 0, { 1 }) + kEnd, "1: checksum DE, expected DD" },
        { upper(0x1D00) + record(0, 0, { 1, 2 }), "3: no end record" },
        { upper(0x1D00) + ":0400000001", "2: the record ends too soon" },
        { "no records here\n", "no records (no line starts with ':')" },
        { upper(0x1E00) + record(0, 0, { 1 }) + kEnd, "no data for the flash at 0x1D000000 to 0x1D000400" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Bytes image(3024, 0xFF);
        std::int32_t size = 0;
        std::string why;
        EXPECT_EQ(convertHex(std::span(reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()), 0x1D000000,
                             1024, image, size, &why),
                  kHexFailed);
        EXPECT_EQ(why, c.why);
    }

    // On a file the name comes first, as compilers do.
    const std::string path = (fs::temp_directory_path() / ("merovan-why-" + std::to_string(::getpid()) + ".hex")).string();
    std::ofstream(path, std::ios::binary) << cases[0].text;
    Bytes image(3024, 0xFF);
    std::int32_t size = 0;
    std::string why;
    EXPECT_EQ(convertHexFile(path, 0x1D000000, 1024, image, size, &why), kHexFailed);
    EXPECT_EQ(why, path + ":2: checksum FC, expected FB");
    fs::remove(path);
    EXPECT_EQ(convertHexFile(path, 0x1D000000, 1024, image, size, &why), kHexFailed);
    EXPECT_EQ(why, path + ": No such file or directory");
}

TEST(IntelHex, AZeroCountRecordEndsTheFile)
{
    const std::string text = upper(0x1D00) + record(0, 0, { 7 }) + ":00000000" + "00\r\n" + record(0, 1, { 8 });
    const Converted c = convert(text, 0x1D000000, 1024);
    ASSERT_EQ(c.result, kHexConverted);
    EXPECT_EQ(c.size, 2);
    EXPECT_EQ(c.image[1], 0xFF) << "records after it are not read";
}

TEST(IntelHex, TheLaterOfTwoOverlappingRecordsWins)
{
    const std::string text
        = upper(0x1D00) + record(0, 0, { 1, 2, 3, 4 }) + record(0, 2, { 9, 9 }) + record(0, 1, { 5 }) + kEnd;
    const Converted c = convert(text, 0x1D000000, 1024);
    ASSERT_EQ(c.result, kHexConverted);
    EXPECT_EQ(Bytes(c.image.begin(), c.image.begin() + 4), (Bytes { 1, 5, 9, 9 }));
    EXPECT_EQ(c.size, 5);
}

TEST(IntelHex, TheWindowEdgeAndBytesOutsideTheImage)
{
    // A record starting exactly at start + size lands in the spare bytes;
    // one a byte higher is skipped.
    const std::uint32_t size = 0x400;
    const Converted edge = convert(upper(0x1D00) + record(0, 0x400, { 0x11 }) + record(0, 0x401, { 0x22 }) + kEnd,
                                   0x1D000000, size);
    ASSERT_EQ(edge.result, kHexConverted);
    EXPECT_EQ(edge.image[0x400], 0x11);
    EXPECT_EQ(edge.image[0x401], 0xFF);
    EXPECT_EQ(edge.size, 0x402);

    // Bytes below the window are skipped, those inside kept.
    const Converted below
        = convert(upper(0x1D00) + record(0, 0x7FFE, { 1, 2, 3, 4 }) + kEnd, 0x1D008000, size);
    ASSERT_EQ(below.result, kHexConverted);
    EXPECT_EQ(Bytes(below.image.begin(), below.image.begin() + 3), (Bytes { 3, 4, 0xFF }));
    EXPECT_EQ(below.size, 3);

    // A full record from the edge fits the spare bytes behind the flash.
    Bytes run(255, 0x5A);
    const Converted spare = convert(upper(0x1D00) + record(0, 0x400, run) + kEnd, 0x1D000000, size);
    ASSERT_EQ(spare.result, kHexConverted);
    EXPECT_EQ(spare.image[0x400 + 254], 0x5A);
    EXPECT_EQ(spare.size, static_cast<std::int32_t>(0x400 + 255 + 1));

    // Nothing in the window at all is a failed conversion, not a negative size.
    EXPECT_EQ(convert(kEnd, 0x1D000000, size).result, kHexFailed);
    EXPECT_EQ(convert(upper(0x1C00) + record(0, 0, { 1 }) + kEnd, 0x1D000000, size).result, kHexFailed);
    EXPECT_EQ(convert(upper(0x1E00) + record(0, 0, { 1 }) + kEnd, 0x1D000000, size).result, kHexFailed);
}

TEST(IntelHex, DataBeforeAnyUpperAddressUsesZero)
{
    const Converted c = convert(record(0, 0x0100, { 0x42 }) + kEnd, 0x00000000, 1024);
    ASSERT_EQ(c.result, kHexConverted);
    EXPECT_EQ(c.image[0x100], 0x42);
}

TEST(IntelHex, ReadHexRecordReportsTypesAndFields)
{
    const std::string text = "junk" + upper(0x1D00) + record(0, 0x1234, { 0xDE, 0xAD }) + kEnd;
    HexReader reader(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    std::uint32_t address = 0;
    std::uint8_t data[256];
    int count = 0;
    EXPECT_EQ(reader.readHexRecord(address, data, count), 4);
    EXPECT_EQ(address, 0x1D00u);
    EXPECT_EQ(reader.readHexRecord(address, data, count), 0);
    EXPECT_EQ(address, 0x1234u);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(data[1], 0xAD);
    EXPECT_EQ(reader.readHexRecord(address, data, count), kHexEndRecord);
    EXPECT_EQ(reader.readHexRecord(address, data, count), kHexBadRecord) << "no more records";
}
