// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/line_map.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace merovan {

namespace {

constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

constexpr std::array<std::uint8_t, 2> kCrLf { kCr, kLf };

bool sameWord(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

constexpr std::array<std::pair<EnterMap, std::string_view>, 3> kEnterNames { {
    { EnterMap::Cr, "CR" },
    { EnterMap::Lf, "LF" },
    { EnterMap::CrLf, "CRLF" },
} };

constexpr std::array<std::pair<IncomingMap, std::string_view>, 3> kIncomingNames { {
    { IncomingMap::AsReceived, "none" },
    { IncomingMap::LfAddsCr, "LF-CRLF" },
    { IncomingMap::LoneCrBreaks, "CR-CRLF" },
} };

} // namespace

std::span<const std::uint8_t> enterBytes(EnterMap map)
{
    switch (map) {
    case EnterMap::Lf:
        return std::span(kCrLf).subspan(1);
    case EnterMap::CrLf:
        return kCrLf;
    case EnterMap::Cr:
        break;
    }
    return std::span(kCrLf).first(1);
}

std::string_view enterMapName(EnterMap map)
{
    for (const auto& [value, name] : kEnterNames)
        if (value == map)
            return name;
    return kEnterNames.front().second;
}

std::string_view incomingMapName(IncomingMap map)
{
    for (const auto& [value, name] : kIncomingNames)
        if (value == map)
            return name;
    return kIncomingNames.front().second;
}

std::optional<EnterMap> enterMapFromName(std::string_view name)
{
    for (const auto& [value, word] : kEnterNames)
        if (sameWord(word, name))
            return value;
    return std::nullopt;
}

std::optional<IncomingMap> incomingMapFromName(std::string_view name)
{
    for (const auto& [value, word] : kIncomingNames)
        if (sameWord(word, name))
            return value;
    return std::nullopt;
}

void IncomingLineMapper::apply(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out)
{
    if (m_map == IncomingMap::AsReceived) {
        out.insert(out.end(), bytes.begin(), bytes.end());
        if (!bytes.empty())
            m_afterCr = bytes.back() == kCr;
        return;
    }
    out.reserve(out.size() + bytes.size() + bytes.size() / 8);
    for (const std::uint8_t b : bytes) {
        if (b == kLf) {
            if (m_map == IncomingMap::LfAddsCr && !m_afterCr)
                out.push_back(kCr);
            out.push_back(kLf);
            m_afterCr = false;
            continue;
        }
        // A run of CRs that an LF ends is one line end, as on a terminal;
        // anything else after it shows that the CR stood alone.
        if (m_afterCr && b != kCr && m_map == IncomingMap::LoneCrBreaks)
            out.push_back(kLf);
        out.push_back(b);
        m_afterCr = b == kCr;
    }
}

std::vector<std::uint8_t> IncomingLineMapper::apply(std::span<const std::uint8_t> bytes)
{
    std::vector<std::uint8_t> out;
    apply(bytes, out);
    return out;
}

} // namespace merovan
