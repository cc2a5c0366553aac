// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/text_value.h"

#include <gtest/gtest.h>

using merovan::decimalValue;
using merovan::fileExtension;

TEST(DecimalValue, ReadsTheLeadingNumberAfterBlanksAndSign)
{
    const struct {
        const char* text;
        std::int64_t value;
    } cases[] = {
        { "9600", 9600 },     { "  115200", 115200 }, { "\t42", 42 },   { "+7", 7 },
        { "-12", -12 },       { " -3x", -3 },        { "8 bits", 8 },  { "1.5", 1 },
        { "", 0 },            { "abc", 0 },          { "-", 0 },       { "- 5", 0 },
        { "007", 7 },         { "99999999999999999999999", INT64_MAX },
    };
    for (const auto& c : cases)
        EXPECT_EQ(decimalValue(c.text), c.value) << "text: '" << c.text << "'";
}

TEST(FileExtension, IsTheUpperCasedTextAfterTheLastDot)
{
    EXPECT_EQ(fileExtension("app.hex"), "HEX");
    EXPECT_EQ(fileExtension("/home/me/fw.v2.Bin"), "BIN");
    EXPECT_EQ(fileExtension("README"), "");
    EXPECT_EQ(fileExtension("trailing."), "");
    EXPECT_EQ(fileExtension(".hidden"), "HIDDEN");
}
