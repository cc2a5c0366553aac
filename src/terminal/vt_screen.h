// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace merovan {

// A cell's colour as the device chose it: the terminal's default, one of the
// 256 palette entries (0..15 are the ANSI colours), or a true colour.
struct VtColor
{
    enum class Kind : std::uint8_t { Default, Indexed, Rgb };
    Kind kind = Kind::Default;
    std::uint8_t index = 0;
    std::uint8_t r = 0, g = 0, b = 0;

    static VtColor indexed(std::uint8_t i) { return { Kind::Indexed, i, 0, 0, 0 }; }
    static VtColor rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return { Kind::Rgb, 0, r, g, b }; }
    friend bool operator==(const VtColor&, const VtColor&) = default;
};

// One character cell. A wide character takes two cells: the second has
// width 0 and no character.
struct VtCell
{
    char32_t ch = U' ';
    std::uint8_t width = 1;
    bool bold = false;
    bool underline = false;
    bool reverse = false;
    VtColor fg;
    VtColor bg;

    // Same look, character aside.
    bool sameStyle(const VtCell& o) const
    {
        return bold == o.bold && underline == o.underline && reverse == o.reverse && fg == o.fg && bg == o.bg;
    }
    // A space in the default look: what a cleared screen holds.
    bool blank() const { return (ch == U' ' || ch == 0) && sameStyle(VtCell {}); }
    friend bool operator==(const VtCell&, const VtCell&) = default;
};

using VtLine = std::vector<VtCell>;

// Keys that send a sequence rather than a character.
enum class VtKey : std::uint8_t {
    Up, Down, Left, Right, Home, End, PageUp, PageDown, Insert, Delete,
    F1, F2, F3, F4, F5, F6, F7, F8, F9, F10, F11, F12,
    Enter, Tab, Backspace, Escape,
};

enum VtModifier : unsigned { kVtShift = 1, kVtAlt = 2, kVtCtrl = 4 };

// A VT100/xterm screen fed with received bytes: cells with their colours and
// attributes, the cursor, the alternate screen, and the lines that scroll off
// the top, which go to the scrollback handler (the view's bounded ring). What
// the terminal must say to the device (the answers to the cursor position and
// Device Attributes queries, and the keys) goes to the output handler.
//
// Bytes may arrive split anywhere, a sequence across any number of feeds.
// Malformed or endless sequences cost bounded memory and linear time: an
// OSC or DCS string longer than kMaxStringBytes is abandoned and what follows
// it is shown, and a control sequence with more parameters or digits than any
// terminal uses is dropped whole.
//
// The engine behind it is libvterm; none of its types appear here.
class VtScreen
{
public:
    static constexpr std::size_t kMaxStringBytes = 4096;

    VtScreen(int rows, int cols);
    ~VtScreen();
    VtScreen(const VtScreen&) = delete;
    VtScreen& operator=(const VtScreen&) = delete;

    // Bytes for the device: query answers, typed keys and pasted text.
    void setOutputHandler(std::function<void(std::string_view)> handler);
    // A line that scrolled off the top of the main screen, without its
    // trailing blank cells.
    void setScrollbackHandler(std::function<void(const VtLine&)> handler);
    // The same lines as text: UTF-8, without trailing spaces, each ended by
    // '\n'; one call may carry many lines. Without a cell handler set, a
    // flood of plain lines (text, colours, CR LF) that scroll off before
    // they could be seen is taken in bulk rather than drawn line by line on
    // the screen; the text and the screen come out the same.
    void setScrollbackTextHandler(std::function<void(std::string_view)> handler);

    // UTF-8 (the default) or single-byte characters (Latin-1).
    void setUtf8(bool on);
    bool utf8() const { return m_utf8; }

    void feed(std::span<const std::uint8_t> bytes);
    void feed(std::string_view bytes);

    // The device is told nothing: a serial line has no size signal. The
    // screen has at least one row and two columns.
    void resize(int rows, int cols);
    int rows() const { return m_rows; }
    int cols() const { return m_cols; }

    VtCell cell(int row, int col) const;
    // A row's cells, without the trailing blank ones.
    VtLine row(int row) const;
    int cursorRow() const;
    int cursorCol() const;
    bool cursorVisible() const { return m_cursorVisible; }
    bool altScreen() const { return m_altScreen; }
    // Whether the device asked for pasted text in ESC[200~ ... ESC[201~.
    bool bracketedPaste() const;
    const std::string& title() const { return m_title; }

    // True once after anything on the screen changed; a view repaints then.
    bool takeChanged();

    // A key's sequence (cursor keys follow the device's cursor-key mode);
    // Backspace gives the backspace byte (7F unless set).
    std::string keySequence(VtKey key, unsigned modifiers = 0) const;
    // A character's bytes, in UTF-8 or Latin-1 as set; with Ctrl a letter
    // becomes its control byte, with Alt the character follows an ESC.
    std::string charSequence(char32_t ch, unsigned modifiers = 0) const;
    // Text as pasted: bracketed when the device turned that on.
    std::string pasteSequence(std::string_view text) const;
    void setBackspaceByte(std::uint8_t byte) { m_backspace = byte; }
    std::uint8_t backspaceByte() const { return m_backspace; }

    // The same, sent to the output handler.
    void sendKey(VtKey key, unsigned modifiers = 0) { send(keySequence(key, modifiers)); }
    void sendChar(char32_t ch, unsigned modifiers = 0) { send(charSequence(ch, modifiers)); }
    void paste(std::string_view text) { send(pasteSequence(text)); }

    // Clears the screen and the modes, as a power-on does.
    void reset();

    // The engine's heap use in bytes, for tests of bounded memory.
    std::size_t engineBytes() const;

    struct Impl;

private:
    // Returns how many bytes at the end it did not take yet.
    std::size_t feedGuarded(const std::uint8_t* bytes, std::size_t len);
    // Past a line feed at pos: how far a flood of plain lines was taken in
    // bulk (pos when it was not). flushToPos hands the engine what came
    // before pos, once a flood is found there.
    std::size_t skipFlood(const std::uint8_t* bytes, std::size_t len, std::size_t pos,
                          const std::function<void()>& flushToPos);
    // Whether plain lines at the bottom row certainly scroll the whole
    // screen and show as they are.
    bool floodSafe() const;
    void noteEscape(std::uint8_t final);
    void keepCursorOnScreen();
    bool badStatusRequest() const;
    void noteCsi(std::uint8_t final);
    void deliverScrolled();
    void send(std::string_view bytes);

    std::unique_ptr<Impl> m_impl;
    std::function<void(std::string_view)> m_output;
    std::function<void(const VtLine&)> m_scrollback;
    std::function<void(std::string_view)> m_scrollbackText;
    std::string m_scrolledText; // lines for m_scrollbackText, handed on after each feed
    int m_skipPushes = 0;       // blank rows a bulk take leaves to scroll off unseen
    std::size_t m_floodRetryAt = 0; // no bulk take before this byte of the feed at hand
    std::string m_floodPen;         // the colour sequences of lines taken in bulk
    std::vector<std::pair<std::size_t, std::size_t>> m_floodTail; // the last lines' starts and rows
    int m_rows;
    int m_cols;
    bool m_utf8 = true;
    bool m_cursorVisible = true;
    bool m_altScreen = false;
    bool m_changed = true;
    std::uint8_t m_backspace = 0x7F;
    std::string m_title;

    // The guard's view of the byte stream, just enough to find strings and
    // control sequences that run away.
    enum class Scan : std::uint8_t { Normal, Esc, Csi, CsiDrop, String, StringEsc };
    Scan m_scan = Scan::Normal;
    std::size_t m_stringBytes = 0;
    bool m_dcs = false;       // the string is a DCS
    std::string m_stringHead; // its first bytes, enough to tell a status request
    static constexpr std::size_t kStringHead = 5;
    std::size_t m_stringEscAt = 0; // where an ESC in a string is, in the bytes at hand
    int m_csiSeparators = 0;
    int m_csiDigits = 0;
    int m_csiPhase = 0; // leader bytes, then parameters, then intermediates
    bool m_csiBare = true; // no leader, parameter or intermediate yet
    bool m_csiPlain = true; // no leader or intermediate yet
    std::uint8_t m_csiLeader = 0;
    std::uint8_t m_escIntermediate = 0;
    // What the guard knows of the modes that change how plain lines show:
    // a scroll region, left and right margins, character sets, line sizes.
    // Each is "maybe" until a reset says otherwise.
    bool m_regionSet = false;
    bool m_lrMargins = false; // left and right margins in force
    bool m_sideMarginsSet = false;
    bool m_g0Special = false;
    bool m_g1Special = false;
    bool m_shiftedOut = false;
    bool m_oddShift = false; // G2/G3 shifts, line sizes
    bool m_noAutowrap = false;
    long m_csiFirst = -1;   // the first parameter, -1 while there is none
    std::string m_lastGlyph; // the last character shown, for REP
    // The character being decoded, to count combining marks in a row.
    char32_t m_char = 0;
    int m_charLeft = 0;
    std::size_t m_charStart = 0;
    int m_marks = 0;
    std::vector<std::uint8_t> m_pending; // the start of a character, held for the next feed
    std::vector<std::uint8_t> m_buffer;

    friend struct VtCallbacks;
};

} // namespace merovan
