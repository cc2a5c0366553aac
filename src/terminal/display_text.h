// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// The terminal view's form of received bytes: tab, line feed, carriage
// return and 20..7F stand as themselves, backspace is dropped, and every
// other byte, zero included, becomes "[xx]" in lower-case hex.
std::string formatForDisplay(std::span<const std::uint8_t> bytes);
// The same, appended to out.
void appendForDisplay(std::span<const std::uint8_t> bytes, std::string& out);

} // namespace merovan

namespace merovan {

// How characters above 7F travel on the line, one setting for typing,
// scripts, the texts sent before a transfer and the view.
enum class Charset {
    Latin1, // one byte per character; a character above FF cannot be sent
    Utf8,   // every character above 7F as its UTF-8 bytes
};

// Appends the bytes that carry code point c in charset to out. False, with
// nothing appended, when the charset has no bytes for it (Latin-1 above FF,
// or c not a Unicode scalar value).
bool encodeCharacter(char32_t c, Charset charset, std::string& out);

// Finds the UTF-8 sequence that starts bytes: its length (2 to 4) and code
// point when it is complete and valid (shortest form, no surrogate, at most
// 10FFFF); 0 when the first byte cannot start one or a later byte breaks it;
// -1 when the bytes so far are a valid but unfinished start.
int decodeUtf8(std::span<const std::uint8_t> bytes, char32_t& codePoint);

// Turns received bytes into the terminal view's text (UTF-8), one chunk at
// a time. Non-printable bytes take the bracketed form; CR LF, a lone CR and
// a lone LF each become one '\n', also when a CR LF pair is split across
// chunks. With Charset::Utf8, valid UTF-8 sequences of printable
// characters (U+00A0 and above) stand as those characters, also when a
// sequence is split across chunks; every other byte above 7F is "[xx]".
// With Latin1 every byte above 7F is "[xx]".
class TerminalTextFormatter
{
public:
    std::string format(std::span<const std::uint8_t> bytes);
    void reset()
    {
        m_afterCr = false;
        m_held.clear();
    }
    void setCharset(Charset charset)
    {
        m_charset = charset;
        m_held.clear();
    }
    Charset charset() const { return m_charset; }

private:
    void formatRun(std::span<const std::uint8_t> bytes, bool atEnd, std::string& out);

    bool m_afterCr = false;
    Charset m_charset = Charset::Latin1;
    std::string m_held; // the start of a sequence the next chunk may finish
};

} // namespace merovan
