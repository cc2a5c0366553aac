// SPDX-License-Identifier: GPL-3.0-or-later
#include "plot/series_csv.h"

#include "common/durable_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace merovan {

namespace {

std::string errnoText(int error)
{
    return std::strerror(error != 0 ? error : EIO);
}

// Writes all of text, remembering the first failure's errno.
bool put(std::FILE* f, const std::string& text, int& error)
{
    if (std::fwrite(text.data(), 1, text.size(), f) == text.size())
        return true;
    if (error == 0)
        error = errno != 0 ? errno : EIO;
    return false;
}

// Writes content through a temporary file beside path, renamed over it.
class StagedFile
{
public:
    explicit StagedFile(const std::string& path)
        : m_path(path)
        , m_temp(path + ".part")
    {
        errno = 0;
        m_file = std::fopen(m_temp.c_str(), "wb");
        if (!m_file)
            m_error = errno != 0 ? errno : EIO;
    }
    ~StagedFile()
    {
        if (m_file) {
            std::fclose(m_file);
            std::remove(m_temp.c_str());
        }
    }
    bool ok() const { return m_file && m_error == 0; }
    void write(const std::string& text)
    {
        if (ok())
            put(m_file, text, m_error);
    }
    bool commit(std::string& reason)
    {
        if (!m_file) {
            reason = "cannot write " + m_temp + ": " + errnoText(m_error);
            return false;
        }
        bool good = m_error == 0 && std::fflush(m_file) == 0;
        if (!good && m_error == 0)
            m_error = errno;
        good = std::fclose(m_file) == 0 && good;
        if (!good && m_error == 0)
            m_error = errno;
        m_file = nullptr;
        if (!good) {
            std::remove(m_temp.c_str());
            reason = "cannot write " + m_temp + ": " + errnoText(m_error);
            return false;
        }
        if (!renameOver(m_temp, m_path, reason)) {
            std::remove(m_temp.c_str());
            return false;
        }
        return true;
    }

private:
    std::string m_path;
    std::string m_temp;
    std::FILE* m_file = nullptr;
    int m_error = 0;
};

void appendName(std::string& out, const std::string& name)
{
    const bool quote = name.find_first_of(",\"\r\n\t") != std::string::npos
        || (!name.empty() && (name.front() == ' ' || name.back() == ' '));
    if (!quote) {
        out += name;
        return;
    }
    out.push_back('"');
    for (const char c : name) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

} // namespace

void appendSeriesValue(std::string& out, double v)
{
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    if (ec == std::errc())
        out.append(text, end);
}

void appendSeconds(std::string& out, std::int64_t ms)
{
    if (ms < 0) {
        out.push_back('-');
        ms = -ms;
    }
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, ms / 1000);
    out.append(text, end);
    const auto frac = static_cast<int>(ms % 1000);
    out.push_back('.');
    out.push_back(static_cast<char>('0' + frac / 100));
    out.push_back(static_cast<char>('0' + frac / 10 % 10));
    out.push_back(static_cast<char>('0' + frac % 10));
}

std::string seriesCsvHeader(const std::vector<std::string>& names)
{
    std::string out = "time";
    for (const std::string& name : names) {
        out.push_back(',');
        appendName(out, name);
    }
    return out;
}

bool writeSeriesCsv(const SeriesStore& store, const std::vector<std::string>& names, const std::string& path,
                    std::string& reason)
{
    StagedFile file(path);
    std::string text = seriesCsvHeader(names);
    text.push_back('\n');
    const std::int64_t origin = store.firstTimeMs();
    store.forEachRow([&](std::int64_t timeMs, std::uint64_t, const std::vector<SeriesStore::Cell>& cells) {
        appendSeconds(text, timeMs - origin);
        for (std::size_t s = 0; s < names.size(); ++s) {
            text.push_back(',');
            if (s < cells.size() && cells[s].hasValue)
                appendSeriesValue(text, cells[s].value);
        }
        text.push_back('\n');
        if (text.size() >= 1 << 16) {
            file.write(text);
            text.clear();
        }
    });
    file.write(text);
    return file.commit(reason);
}

SeriesCsvFile::~SeriesCsvFile()
{
    if (m_spool) {
        std::fclose(m_spool);
        std::remove(m_spoolPath.c_str());
    }
}

bool SeriesCsvFile::open(const std::string& path, std::string& reason)
{
    m_path = path;
    m_spoolPath = path + ".rows";
    errno = 0;
    m_spool = std::fopen(m_spoolPath.c_str(), "w+b");
    if (!m_spool) {
        reason = "cannot write " + m_spoolPath + ": " + errnoText(errno);
        return false;
    }
    return true;
}

void SeriesCsvFile::add(const SeriesRow& row)
{
    if (!m_spool || m_failed || row.values.empty())
        return;
    if (!m_haveFirst) {
        m_haveFirst = true;
        m_firstMs = row.timeMs;
    }
    int width = 0;
    for (const SeriesValue& v : row.values)
        width = std::max(width, v.series + 1);
    m_cells.assign(static_cast<std::size_t>(width), 0.0);
    m_has.assign(static_cast<std::size_t>(width), false);
    for (const SeriesValue& v : row.values) {
        if (v.series >= 0) {
            m_cells[static_cast<std::size_t>(v.series)] = v.value;
            m_has[static_cast<std::size_t>(v.series)] = true;
        }
    }
    m_line.clear();
    appendSeconds(m_line, row.timeMs - m_firstMs);
    for (std::size_t s = 0; s < m_cells.size(); ++s) {
        m_line.push_back(',');
        if (m_has[s])
            appendSeriesValue(m_line, m_cells[s]);
    }
    m_line.push_back('\n');
    if (!put(m_spool, m_line, m_error))
        m_failed = true;
    ++m_rows;
}

bool SeriesCsvFile::finish(const std::vector<std::string>& names, std::string& reason)
{
    if (!m_spool) {
        reason = "no file was started";
        return false;
    }
    if (m_failed || std::fflush(m_spool) != 0) {
        reason = "cannot write " + m_spoolPath + ": " + errnoText(m_error != 0 ? m_error : errno);
        return false;
    }
    std::rewind(m_spool);
    StagedFile file(m_path);
    std::string text = seriesCsvHeader(names);
    text.push_back('\n');
    // Rows written before a series appeared get its empty cells now.
    char buffer[1 << 14];
    std::size_t n;
    std::size_t commas = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, m_spool)) > 0) {
        for (std::size_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                for (; commas < names.size(); ++commas)
                    text.push_back(',');
                commas = 0;
            } else if (c == ',') {
                ++commas;
            }
            text.push_back(c);
        }
        if (text.size() >= 1 << 16) {
            file.write(text);
            text.clear();
        }
    }
    const bool readFailed = std::ferror(m_spool) != 0;
    file.write(text);
    std::fclose(m_spool);
    m_spool = nullptr;
    std::remove(m_spoolPath.c_str());
    if (readFailed) {
        reason = "cannot read back " + m_spoolPath;
        return false;
    }
    return file.commit(reason);
}

} // namespace merovan
