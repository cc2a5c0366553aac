// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/line_stamp.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace merovan {

namespace {

// "2026-12-08 17:06:11" of a whole second since the epoch, in local time.
std::string secondText(std::int64_t second)
{
    const auto t = static_cast<std::time_t>(second);
    // The program is single-threaded where it stamps, and std::localtime is
    // the portable call.
    const std::tm* tm = std::localtime(&t);
    char text[32];
    if (!tm || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm) == 0)
        return "0000-00-00 00:00:00";
    return text;
}

} // namespace

std::int64_t SystemWallClock::epochMs() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string formatTimestamp(std::int64_t epochMs)
{
    std::int64_t second = epochMs / 1000;
    std::int64_t ms = epochMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --second;
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, ".%03d ", static_cast<int>(ms));
    return secondText(second) + tail;
}

void LineStamper::appendStamp(std::int64_t atMs, std::string& out)
{
    std::int64_t second = atMs / 1000;
    std::int64_t ms = atMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --second;
    }
    if (second != m_cachedSecond) {
        m_cachedSecond = second;
        m_cachedPrefix = secondText(second);
    }
    out += m_cachedPrefix;
    const int m = static_cast<int>(ms);
    out.push_back('.');
    out.push_back(static_cast<char>('0' + m / 100));
    out.push_back(static_cast<char>('0' + m / 10 % 10));
    out.push_back(static_cast<char>('0' + m % 10));
    out.push_back(' ');
}

void LineStamper::stamp(std::string_view text, std::int64_t atMs, std::string& out)
{
    out.reserve(out.size() + text.size() + 2 * kTimestampLength);
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (m_lineStart) {
            if (c == '\n' && m_afterCr) {
                // The LF of a CR LF belongs to the line the CR ended.
                out.push_back(c);
                m_afterCr = false;
                ++i;
                continue;
            }
            if (m_enabled)
                appendStamp(atMs, out);
            m_lineStart = false;
            m_afterCr = false;
        }
        // Copy up to and including the next line end in one go.
        std::size_t end = i;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r')
            ++end;
        if (end == text.size()) {
            out.append(text.substr(i));
            return;
        }
        out.append(text.substr(i, end + 1 - i));
        m_lineStart = true;
        m_afterCr = text[end] == '\r';
        i = end + 1;
    }
}

void LineStamper::breakLine(std::string& out)
{
    if (!m_lineStart) {
        out.push_back('\n');
        m_lineStart = true;
    }
    m_afterCr = false;
}

} // namespace merovan
