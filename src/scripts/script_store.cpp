// SPDX-License-Identifier: GPL-3.0-or-later
#include "scripts/script_store.h"

#include "common/durable_file.h"

#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <memory>

namespace merovan {

namespace {

struct FileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr char kNameExists[] = "Scip name already exists, use update";
constexpr char kNotFound[] = "Scrip not found do cant remove";

bool isReserved(char c, bool inName)
{
    const auto b = static_cast<std::uint8_t>(c);
    return b == kTextEnd || b == kContentEnd || (inName && b == kNameEnd);
}

bool holdsAnyOf(std::string_view s, std::initializer_list<std::uint8_t> bytes)
{
    for (const char c : s)
        for (const std::uint8_t b : bytes)
            if (static_cast<std::uint8_t>(c) == b)
                return true;
    return false;
}

// Refuses what the format cannot hold, before anything is written.
bool acceptable(std::string_view name, std::string_view text, const StoreMessages& say)
{
    if (name.size() > kMaxScriptName) {
        say("Script name too long: at most 259 bytes");
        return false;
    }
    if (text.size() > kMaxScriptText) {
        say("Script text too long: at most 1023 bytes");
        return false;
    }
    // A name ends at 1F, a text only at 1E, and 17 ends the file.
    if (holdsAnyOf(name, { kNameEnd, kTextEnd, kContentEnd })) {
        say("Script name holds a byte reserved by script files (1F, 1E or 17)");
        return false;
    }
    if (holdsAnyOf(text, { kTextEnd, kContentEnd })) {
        say("Script text holds a byte reserved by script files (1E or 17)");
        return false;
    }
    return true;
}

// Reads path for a change: nullopt silently when it cannot be read, and
// with a message when it is no script file, so nothing gets written to it.
std::optional<std::string> readForChange(const std::string& path, const StoreMessages& say);

std::optional<std::string> readAll(const std::string& path)
{
    File f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
        content.append(buffer, n);
    if (std::ferror(f.get()))
        return std::nullopt;
    return content;
}

std::int64_t findIn(std::string_view content, std::string_view name, std::size_t* textStart = nullptr)
{
    std::size_t pos = 0;
    for (;;) {
        const auto sep = content.find(static_cast<char>(kNameEnd), pos);
        if (sep == std::string_view::npos)
            return -1;
        if (content.substr(pos, sep - pos) == name) {
            if (textStart)
                *textStart = sep + 1;
            return static_cast<std::int64_t>(pos);
        }
        const auto end = content.find(static_cast<char>(kTextEnd), sep + 1);
        if (end == std::string_view::npos)
            return -1;
        pos = end + 1;
    }
}

// The file's content with the named record left out, or with its text
// replaced when replacement is given. Stops at the end marker (which is
// kept) or at the end of the content.
std::string rewrite(std::string_view content, std::string_view name, const std::string_view* replacement)
{
    std::string out;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t start = pos;
        while (pos < content.size() && static_cast<std::uint8_t>(content[pos]) != kNameEnd
               && static_cast<std::uint8_t>(content[pos]) != kContentEnd)
            ++pos;
        if (pos < content.size() && static_cast<std::uint8_t>(content[pos]) == kContentEnd) {
            out += content.substr(start, pos - start);
            out.push_back(static_cast<char>(kContentEnd));
            return out;
        }
        if (pos >= content.size()) {
            out += content.substr(start); // a record cut short by the end of the file
            return out;
        }
        const bool match = content.substr(start, pos - start) == name;
        ++pos; // past the name's end
        std::size_t textEnd = pos;
        while (textEnd < content.size() && static_cast<std::uint8_t>(content[textEnd]) != kTextEnd
               && static_cast<std::uint8_t>(content[textEnd]) != kContentEnd)
            ++textEnd;
        const bool hitMarker = textEnd < content.size() && static_cast<std::uint8_t>(content[textEnd]) == kContentEnd;
        if (!match) {
            out += content.substr(start, std::min(textEnd + 1, content.size()) - start);
        } else if (replacement) {
            out += name;
            out.push_back(static_cast<char>(kNameEnd));
            out += *replacement;
            out.push_back(static_cast<char>(kTextEnd));
            if (hitMarker)
                out.push_back(static_cast<char>(kContentEnd));
        } else if (hitMarker) {
            out.push_back(static_cast<char>(kContentEnd));
        }
        if (hitMarker || textEnd >= content.size())
            return out;
        pos = textEnd + 1;
    }
    return out;
}

std::optional<std::string> readForChange(const std::string& path, const StoreMessages& say)
{
    auto content = readAll(path);
    if (!content)
        return std::nullopt;
    const std::string problem = scriptFileProblem(*content);
    if (!problem.empty()) {
        say(path + " is not a script file (" + problem + "); nothing was written");
        return std::nullopt;
    }
    return content;
}

// Writes content to the temporary file, flushes it to the disk and renames
// it over path: path is either the old file or the new one, never less.
bool replaceFile(const std::string& path, const std::string& content)
{
    std::string reason;
    return replaceFileContent(path, scriptTempPath(path), content, reason);
}

} // namespace

std::string scriptFileProblem(std::string_view content)
{
    std::size_t pos = 0;
    std::size_t record = 1;
    while (pos < content.size()) {
        if (static_cast<std::uint8_t>(content[pos]) == kContentEnd)
            return {};
        const std::string where = "record " + std::to_string(record);
        const std::size_t nameStart = pos;
        while (pos < content.size() && static_cast<std::uint8_t>(content[pos]) != kNameEnd) {
            if (isReserved(content[pos], true))
                return where + ": its name holds a reserved byte";
            ++pos;
        }
        if (pos >= content.size())
            return where + ": its name has no end";
        if (pos - nameStart > kMaxScriptName)
            return where + ": its name is longer than 259 bytes";
        const std::size_t textStart = ++pos;
        while (pos < content.size() && static_cast<std::uint8_t>(content[pos]) != kTextEnd) {
            if (isReserved(content[pos], false))
                return where + ": its text holds the end marker";
            ++pos;
        }
        if (pos >= content.size())
            return where + ": its text has no end";
        if (pos - textStart > kMaxScriptText)
            return where + ": its text is longer than 1023 bytes";
        ++pos;
        ++record;
    }
    return "no end marker";
}

bool isScriptFile(const std::string& path, std::string* why)
{
    const auto content = readAll(path);
    std::string problem = content ? scriptFileProblem(*content) : std::string("it cannot be read");
    if (why)
        *why = problem;
    return problem.empty();
}

std::string scriptTempPath(const std::string& path)
{
    // Each system's own separators: a backslash is one on Windows only.
    const std::size_t base = path.size() - std::filesystem::path(path).filename().string().size();
    const auto dot = path.find('.', base);
    std::string tmp = (dot == std::string::npos ? path : path.substr(0, dot)) + ".tmp";
    // A script file that is itself named so must not be its own temporary.
    if (tmp == path)
        tmp = path + ".tmp";
    return tmp;
}

std::int64_t findScript(std::FILE* file, std::string_view name)
{
    std::rewind(file);
    std::string content;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, n);
    std::size_t textStart = 0;
    const std::int64_t at = findIn(content, name, &textStart);
    if (at >= 0)
        std::fseek(file, static_cast<long>(textStart), SEEK_SET);
    return at;
}

bool addScript(const std::string& path, std::string_view name, std::string_view text, const StoreMessages& say)
{
    const auto content = readForChange(path, say);
    if (!content)
        return false;
    if (findIn(*content, name) >= 0) {
        say(kNameExists);
        return false;
    }
    if (!acceptable(name, text, say))
        return false;
    const auto marker = content->find(static_cast<char>(kContentEnd));
    if (marker == std::string::npos)
        return false;
    File f(std::fopen(path.c_str(), "r+b"));
    if (!f || std::fseek(f.get(), static_cast<long>(marker), SEEK_SET) != 0)
        return false;
    std::string record(name);
    record.push_back(static_cast<char>(kNameEnd));
    record += text;
    record.push_back(static_cast<char>(kTextEnd));
    record.push_back(static_cast<char>(kContentEnd));
    const bool written = std::fwrite(record.data(), 1, record.size(), f.get()) == record.size();
    return std::fflush(f.get()) == 0 && written;
}

bool updateScript(const std::string& path, std::string_view name, std::string_view text, const StoreMessages& say)
{
    const auto content = readForChange(path, say);
    if (!content)
        return false;
    if (findIn(*content, name) < 0)
        return addScript(path, name, text, say);
    if (!acceptable(name, text, say))
        return false;
    return replaceFile(path, rewrite(*content, name, &text));
}

bool removeScript(const std::string& path, std::string_view name, const StoreMessages& say)
{
    const auto content = readForChange(path, say);
    if (!content)
        return false;
    if (findIn(*content, name) < 0) {
        say(kNotFound);
        return false;
    }
    return replaceFile(path, rewrite(*content, name, nullptr));
}

bool renameScript(const std::string& path, std::string_view from, std::string_view to, const StoreMessages& say)
{
    const auto content = readForChange(path, say);
    if (!content)
        return false;
    std::size_t textStart = 0;
    const std::int64_t at = findIn(*content, from, &textStart);
    if (at < 0) {
        say("Script not found: " + std::string(from));
        return false;
    }
    if (from == to)
        return true;
    if (findIn(*content, to) >= 0) {
        say(kNameExists);
        return false;
    }
    if (!acceptable(to, {}, say))
        return false;
    std::string renamed = content->substr(0, static_cast<std::size_t>(at));
    renamed += to;
    renamed += content->substr(textStart - 1);
    return replaceFile(path, renamed);
}

std::optional<std::string> getScriptText(const std::string& path, std::string_view name)
{
    const auto content = readAll(path);
    if (!content)
        return std::nullopt;
    std::size_t textStart = 0;
    if (findIn(*content, name, &textStart) < 0)
        return std::nullopt;
    std::size_t end = textStart;
    while (end < content->size() && static_cast<std::uint8_t>((*content)[end]) != kTextEnd
           && static_cast<std::uint8_t>((*content)[end]) != kContentEnd)
        ++end;
    return content->substr(textStart, std::min(end - textStart, kMaxScriptText));
}

std::optional<std::vector<std::string>> readScriptNames(const std::string& path)
{
    const auto content = readAll(path);
    if (!content)
        return std::nullopt;
    std::vector<std::string> names;
    std::size_t pos = 0;
    const std::string& c = *content;
    while (pos < c.size()) {
        const std::size_t start = pos;
        while (pos < c.size() && static_cast<std::uint8_t>(c[pos]) != kNameEnd
               && static_cast<std::uint8_t>(c[pos]) != kContentEnd)
            ++pos;
        if (pos < c.size() && static_cast<std::uint8_t>(c[pos]) == kContentEnd)
            break;
        names.push_back(c.substr(start, std::min(pos - start, kMaxScriptName)));
        if (pos >= c.size())
            break;
        ++pos;
        while (pos < c.size() && static_cast<std::uint8_t>(c[pos]) != kTextEnd
               && static_cast<std::uint8_t>(c[pos]) != kContentEnd)
            ++pos;
        if (pos < c.size() && static_cast<std::uint8_t>(c[pos]) == kContentEnd)
            break;
        ++pos;
    }
    // A file without an end marker whose last record is complete yields one
    // more, empty, name, as a reader that meets the end of the file does.
    if (c.find(static_cast<char>(kContentEnd)) == std::string::npos && !c.empty()
        && static_cast<std::uint8_t>(c.back()) == kTextEnd)
        names.emplace_back();
    return names;
}

bool addDefaultExtension(std::string& path)
{
    if (path.empty())
        return false;
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || dot == path.size() - 1 || (slash != std::string::npos && dot < slash))
        path += ".scr";
    return true;
}

bool createScriptFile(const std::string& path)
{
    File f(std::fopen(path.c_str(), "wb"));
    if (!f)
        return false;
    const char marker = static_cast<char>(kContentEnd);
    return std::fwrite(&marker, 1, 1, f.get()) == 1 && std::fflush(f.get()) == 0;
}

} // namespace merovan
