// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// Removes terminal escape sequences from received bytes, so a script matches
// what the user reads rather than the colour codes around it. It keeps its
// state between calls, so a sequence split across reads is removed whole.
//
// Removed: CSI sequences (ESC [ ... final byte), OSC, DCS, SOS, PM and APC
// strings (up to BEL or ESC \), and the other two- and three-byte ESC
// sequences. Every other byte, control characters included, is kept. A
// sequence that runs on past any sensible length is given up and the bytes
// after it are kept, so a stray ESC cannot swallow the rest of a stream.
class AnsiStripper
{
public:
    // Appends the bytes of input that are not part of an escape sequence to out.
    void feed(std::span<const std::uint8_t> input, std::string& out);
    void reset() { m_state = State::Text; }

private:
    enum class State { Text, Escape, EscapeIntermediate, Csi, String, StringEscape };
    void enter(State state);

    State m_state = State::Text;
    std::size_t m_length = 0; // bytes in the current sequence
};

} // namespace merovan
