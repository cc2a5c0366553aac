// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/ini_file.h"

#include "common/durable_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace merovan {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto la = static_cast<unsigned char>(a[i]);
        const auto lb = static_cast<unsigned char>(b[i]);
        const auto fa = (la >= 'A' && la <= 'Z') ? la + 32 : la;
        const auto fb = (lb >= 'A' && lb <= 'Z') ? lb + 32 : lb;
        if (fa != fb)
            return false;
    }
    return true;
}

} // namespace

bool parseProfileInteger(std::string_view text, std::int64_t& value)
{
    text = trim(text);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t v = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            const char c = text[i];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            if (v > (UINT64_MAX >> 4))
                return false;
            v = (v << 4) | static_cast<std::uint64_t>(d);
        }
        value = static_cast<std::int64_t>(v);
        return true;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        if (v > (INT64_MAX - 9) / 10)
            return false;
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

IniFile::IniFile(std::string path)
    : m_path(std::move(path))
{
}

bool IniFile::load()
{
    m_lines.clear();
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        // A missing file is simply empty; an unreadable one is a failure.
        std::error_code ec;
        return errno == ENOENT || !std::filesystem::exists(m_path, ec);
    }
    std::ostringstream s;
    s << in.rdbuf();
    parse(s.str());
    return true;
}

void IniFile::parse(std::string_view text)
{
    m_lines.clear();
    std::string current;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view rawView = text.substr(pos, end - pos);
        if (!rawView.empty() && rawView.back() == '\r')
            rawView.remove_suffix(1);
        pos = end + 1;

        Line line;
        line.raw = std::string(rawView);
        const std::string_view t = trim(rawView);
        if (!t.empty() && t.front() == '[') {
            const auto close = t.find(']');
            line.kind = Line::Kind::Section;
            line.section = std::string(trim(t.substr(1, close == std::string_view::npos ? t.size() - 1 : close - 1)));
            current = line.section;
        } else if (const auto eq = rawView.find('='); eq != std::string_view::npos && !t.empty() && t.front() != ';') {
            line.kind = Line::Kind::Entry;
            line.section = current;
            line.key = std::string(trim(rawView.substr(0, eq)));
            line.valueStart = eq + 1;
        }
        m_lines.push_back(std::move(line));
    }
}

std::string IniFile::text() const
{
    std::string out;
    for (const Line& line : m_lines) {
        out += line.raw;
        out += "\r\n";
    }
    return out;
}

bool IniFile::save()
{
    m_error.clear();
    return replaceFileContent(m_path, m_path + ".tmp", text(), m_error);
}

const IniFile::Line* IniFile::find(std::string_view section, std::string_view key) const
{
    for (const Line& line : m_lines) {
        if (line.kind == Line::Kind::Entry && sameName(line.section, section) && sameName(line.key, key))
            return &line;
    }
    return nullptr;
}

bool IniFile::hasKey(std::string_view section, std::string_view key) const
{
    return find(section, key) != nullptr;
}

std::string IniFile::readString(std::string_view section, std::string_view key, std::string_view fallback) const
{
    const Line* line = find(section, key);
    std::string_view value = line ? trim(std::string_view(line->raw).substr(line->valueStart)) : fallback;
    if (value.size() > kMaxValueLength)
        value = value.substr(0, kMaxValueLength);
    return std::string(value);
}

std::int64_t IniFile::readInteger(std::string_view section, std::string_view key, std::int64_t fallback) const
{
    const Line* line = find(section, key);
    if (!line)
        return fallback;
    std::int64_t value = 0;
    return parseProfileInteger(readString(section, key, {}), value) ? value : fallback;
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool fallback) const
{
    return readInteger(section, key, fallback ? 1 : 0) != 0;
}

IniFile::Line IniFile::makeEntry(std::string_view key, std::string_view value)
{
    Line line;
    line.kind = Line::Kind::Entry;
    line.key = std::string(key);
    line.raw = line.key + "=" + std::string(value);
    line.valueStart = line.key.size() + 1;
    return line;
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value)
{
    if (const auto brk = value.find_first_of("\r\n"); brk != std::string_view::npos)
        value = value.substr(0, brk);

    for (Line& line : m_lines) {
        if (line.kind == Line::Kind::Entry && sameName(line.section, section) && sameName(line.key, key)) {
            const std::string keptKey = line.raw.substr(0, line.valueStart);
            line.raw = keptKey + std::string(value);
            return;
        }
    }
    // New key: after the last line of the first matching section.
    std::size_t insertAt = m_lines.size();
    bool inSection = false;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Line::Kind::Section) {
            if (inSection)
                break;
            inSection = sameName(line.section, section);
            if (inSection)
                insertAt = i + 1;
        } else if (inSection && !trim(line.raw).empty()) {
            insertAt = i + 1;
        }
    }
    Line entry = makeEntry(key, value);
    entry.section = std::string(section);
    if (!inSection && insertAt == m_lines.size()) {
        bool sectionExists = false;
        for (const Line& line : m_lines)
            sectionExists = sectionExists || (line.kind == Line::Kind::Section && sameName(line.section, section));
        if (!sectionExists) {
            Line header;
            header.kind = Line::Kind::Section;
            header.section = std::string(section);
            header.raw = "[" + header.section + "]";
            m_lines.push_back(std::move(header));
            insertAt = m_lines.size();
        }
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(entry));
}

void IniFile::writeInteger(std::string_view section, std::string_view key, std::int64_t value)
{
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value)
{
    writeString(section, key, value ? "1" : "0");
}

} // namespace merovan
