// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace merovan {

// A settings file of [sections] and key=value lines with the semantics of
// the Windows profile-string calls: section and key names match regardless
// of case, values are bytes (7F included), and a read gives at most 1,023
// characters. Lines it does not understand, and keys and sections it is
// never asked about, are kept as they were.
//
// Reading and writing happen in memory; save() writes the whole file at
// once, atomically (a temporary file beside it, then a rename), so a crash
// leaves either the old or the new file.
class IniFile
{
public:
    static constexpr std::size_t kMaxValueLength = 1023;

    IniFile() = default;
    explicit IniFile(std::string path);

    // Loads the file; a missing file is an empty one. Returns false only
    // when the file exists but cannot be read.
    bool load();
    // Parses text as the file's content (used by load and by tests).
    void parse(std::string_view text);

    bool save();
    // The file's content as save() writes it.
    std::string text() const;

    const std::string& path() const { return m_path; }
    // Why the last save failed.
    const std::string& error() const { return m_error; }

    bool hasKey(std::string_view section, std::string_view key) const;

    // The value, cut to 1,023 characters; fallback when the key is missing.
    std::string readString(std::string_view section, std::string_view key, std::string_view fallback) const;
    // Decimal, or hexadecimal after "0x"/"0X" when the value is longer than
    // two characters; anything else, and a missing key, gives fallback.
    std::int64_t readInteger(std::string_view section, std::string_view key, std::int64_t fallback) const;
    // As an integer: anything but 0 is true.
    bool readBool(std::string_view section, std::string_view key, bool fallback) const;

    // Sets a value, keeping the existing spelling of the key; a new key goes
    // at the end of its section, a new section at the end of the file. A line
    // break in value would corrupt the file, so the value ends before it.
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, std::int64_t value);
    void writeBool(std::string_view section, std::string_view key, bool value);

private:
    struct Line
    {
        std::string raw;       // as in the file, without the line end
        std::string section;   // for a header: its name
        std::string key;       // for key=value lines: the trimmed key
        std::size_t valueStart = 0; // offset of the value within raw
        enum class Kind { Other, Section, Entry } kind = Kind::Other;
    };

    const Line* find(std::string_view section, std::string_view key) const;
    static Line makeEntry(std::string_view key, std::string_view value);

    std::string m_path;
    std::vector<Line> m_lines;
    std::string m_error;
};

// Integer parsing as readInteger does it; false when text is not a number.
bool parseProfileInteger(std::string_view text, std::int64_t& value);

} // namespace merovan
