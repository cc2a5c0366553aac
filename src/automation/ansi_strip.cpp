// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/ansi_strip.h"

namespace merovan {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kBel = 0x07;
// Longer CSI sequences than this are not real ones; strings (window titles,
// hyperlinks) get more room.
constexpr std::size_t kCsiLimit = 64;
constexpr std::size_t kStringLimit = 4096;

bool isIntermediate(std::uint8_t b)
{
    return b >= 0x20 && b <= 0x2F;
}

} // namespace

void AnsiStripper::enter(State state)
{
    m_state = state;
    m_length = 0;
}

void AnsiStripper::feed(std::span<const std::uint8_t> input, std::string& out)
{
    for (const std::uint8_t b : input) {
        switch (m_state) {
        case State::Text:
            if (b == kEsc)
                enter(State::Escape);
            else
                out.push_back(static_cast<char>(b));
            break;
        case State::Escape:
            if (b == '[')
                enter(State::Csi);
            else if (b == ']' || b == 'P' || b == 'X' || b == '^' || b == '_')
                enter(State::String);
            else if (isIntermediate(b))
                enter(State::EscapeIntermediate);
            else if (b == kEsc)
                enter(State::Escape);
            else if (b >= 0x30 && b <= 0x7E)
                enter(State::Text);
            else {
                // Not a sequence after all: the byte is text.
                enter(State::Text);
                out.push_back(static_cast<char>(b));
            }
            break;
        case State::EscapeIntermediate:
            if (isIntermediate(b) && ++m_length < kCsiLimit)
                break;
            if (b == kEsc) {
                enter(State::Escape);
                break;
            }
            enter(State::Text);
            if (b < 0x30 || b > 0x7E)
                out.push_back(static_cast<char>(b));
            break;
        case State::Csi:
            if (b >= 0x40 && b <= 0x7E) {
                enter(State::Text);
            } else if (b == kEsc) {
                enter(State::Escape);
            } else if (b < 0x20) {
                // Controls inside a sequence still act, as on a terminal.
                out.push_back(static_cast<char>(b));
            } else if (b >= 0x7F || ++m_length > kCsiLimit) {
                enter(State::Text);
                out.push_back(static_cast<char>(b));
            }
            break;
        case State::String:
            if (b == kBel)
                enter(State::Text);
            else if (b == kEsc)
                m_state = State::StringEscape;
            else if (++m_length > kStringLimit)
                enter(State::Text);
            break;
        case State::StringEscape:
            if (b == '\\') {
                enter(State::Text);
            } else {
                // ESC ends the string and starts a sequence of its own.
                enter(State::Escape);
                const std::uint8_t again[1] = { b };
                feed(again, out);
            }
            break;
        }
    }
}

} // namespace merovan
