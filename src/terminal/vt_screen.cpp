// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <vterm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace merovan {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kBel = 0x07;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kSub = 0x1A;
constexpr std::uint8_t kDel = 0x7F;
constexpr std::uint8_t kShiftOut = 0x0E;
constexpr std::uint8_t kShiftIn = 0x0F;
// libvterm 0.1.4 keeps 16 parameters of a control sequence and does not
// check the count: the 17th would be written past its array. No real
// sequence comes near, so a longer one is dropped before it gets there.
constexpr int kMaxCsiSeparators = 15;
// Nor does it check a parameter's value for overflow; nine digits cover
// every meaningful one.
constexpr int kMaxCsiDigits = 9;
constexpr std::size_t kMaxTitle = 256;
constexpr std::size_t kMaxAfterStringEsc = 64;
constexpr char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD
// libvterm 0.1.4 writes a wide character's second cell past the end of a
// one-column screen.
constexpr int kMinCols = 2;

// Each block carries its size in front, so the engine's heap use can be
// counted.
struct Allocation
{
    std::size_t size;
    std::size_t pad; // keeps what follows aligned for any type
};

void* countedMalloc(std::size_t size, void* data)
{
    // libvterm relies on zeroed memory.
    auto* a = static_cast<Allocation*>(std::calloc(1, sizeof(Allocation) + size));
    if (!a)
        return nullptr;
    a->size = size;
    *static_cast<std::size_t*>(data) += size;
    return a + 1;
}

void countedFree(void* ptr, void* data)
{
    if (!ptr)
        return;
    Allocation* a = static_cast<Allocation*>(ptr) - 1;
    *static_cast<std::size_t*>(data) -= a->size;
    std::free(a);
}

VtColor toColor(const VTermColor& c, bool foreground)
{
    if (foreground ? VTERM_COLOR_IS_DEFAULT_FG(&c) : VTERM_COLOR_IS_DEFAULT_BG(&c))
        return {};
    if (VTERM_COLOR_IS_INDEXED(&c))
        return VtColor::indexed(c.indexed.idx);
    return VtColor::rgb(c.rgb.red, c.rgb.green, c.rgb.blue);
}

VtCell toCell(const VTermScreenCell& c)
{
    VtCell out;
    if (c.chars[0] == static_cast<std::uint32_t>(-1)) {
        // The right half of a wide character.
        out.ch = 0;
        out.width = 0;
    } else {
        out.ch = c.chars[0] == 0 ? U' ' : static_cast<char32_t>(c.chars[0]);
        out.width = static_cast<std::uint8_t>(c.width == 2 ? 2 : 1);
    }
    out.bold = c.attrs.bold != 0;
    out.underline = c.attrs.underline != 0;
    out.reverse = c.attrs.reverse != 0;
    out.fg = toColor(c.fg, true);
    out.bg = toColor(c.bg, false);
    return out;
}

void trimBlanks(VtLine& line)
{
    while (!line.empty() && line.back().blank())
        line.pop_back();
}

constexpr std::uint32_t kRightHalf = static_cast<std::uint32_t>(-1);

// The text of a line of cells, as vtLineText gives it for the converted
// cells, ended by '\n'.
void appendCellsText(std::string& out, const VTermScreenCell* cells, int count)
{
    int end = count;
    while (end > 0 && (cells[end - 1].chars[0] == 0 || cells[end - 1].chars[0] == ' '
                       || cells[end - 1].chars[0] == kRightHalf))
        --end;
    for (int i = 0; i < end; ++i) {
        const std::uint32_t ch = cells[i].chars[0];
        if (ch == kRightHalf)
            continue;
        if (ch < 0x80)
            out.push_back(ch == 0 ? ' ' : static_cast<char>(ch));
        else
            appendUtf8(out, static_cast<char32_t>(ch));
    }
    out.push_back('\n');
}

// Strings kept between feeds give their memory back after a flood.
constexpr std::size_t kKeptCapacity = 256 * 1024;

template<typename Buffer>
void release(Buffer& buffer)
{
    if (buffer.capacity() > kKeptCapacity)
        Buffer().swap(buffer);
    else
        buffer.clear();
}

} // namespace

struct VtScreen::Impl
{
    std::size_t heapBytes = 0;
    VTerm* vt = nullptr;
    VTermScreen* screen = nullptr;
    VTermState* state = nullptr;
    VTermAllocatorFunctions allocator { countedMalloc, countedFree };
    // Set while bracketedPaste() listens to what the engine would send.
    bool probing = false;
    std::string probed;
};

struct VtCallbacks
{
    static VtScreen& self(void* user) { return *static_cast<VtScreen*>(user); }

    static int damage(VTermRect, void* user)
    {
        self(user).m_changed = true;
        return 1;
    }
    static int moverect(VTermRect, VTermRect, void* user)
    {
        self(user).m_changed = true;
        return 1;
    }
    static int movecursor(VTermPos, VTermPos, int, void* user)
    {
        self(user).m_changed = true;
        return 1;
    }
    static int settermprop(VTermProp prop, VTermValue* val, void* user)
    {
        VtScreen& s = self(user);
        switch (prop) {
        case VTERM_PROP_CURSORVISIBLE:
            s.m_cursorVisible = val->boolean != 0;
            break;
        case VTERM_PROP_ALTSCREEN:
            s.m_altScreen = val->boolean != 0;
            break;
        case VTERM_PROP_TITLE:
            s.m_title.assign(val->string ? val->string : "");
            if (s.m_title.size() > kMaxTitle)
                s.m_title.resize(kMaxTitle);
            break;
        default:
            break;
        }
        s.m_changed = true;
        return 1;
    }
    static int bell(void*) { return 1; }
    static int resize(int, int, void* user)
    {
        self(user).m_changed = true;
        return 1;
    }
    static int pushline(int cols, const VTermScreenCell* cells, void* user)
    {
        VtScreen& s = self(user);
        if (s.m_skipPushes > 0) {
            --s.m_skipPushes;
            return 1;
        }
        if (s.m_scrollbackText)
            appendCellsText(s.m_scrolledText, cells, cols);
        if (!s.m_scrollback)
            return 1;
        VtLine line;
        line.reserve(static_cast<std::size_t>(cols));
        for (int i = 0; i < cols; ++i)
            line.push_back(toCell(cells[i]));
        trimBlanks(line);
        s.m_scrollback(line);
        return 1;
    }
    // Lines are not taken back from the ring when the screen grows: the
    // ring belongs to the view.
    static int popline(int, VTermScreenCell*, void*) { return 0; }

    static void output(const char* bytes, std::size_t len, void* user)
    {
        self(user).send(std::string_view(bytes, len));
    }
};

namespace {

const VTermScreenCallbacks kScreenCallbacks = {
    VtCallbacks::damage,   VtCallbacks::moverect, VtCallbacks::movecursor, VtCallbacks::settermprop,
    VtCallbacks::bell,     VtCallbacks::resize,   VtCallbacks::pushline,   VtCallbacks::popline,
};

} // namespace

VtScreen::VtScreen(int rows, int cols)
    : m_impl(std::make_unique<Impl>())
    , m_rows(std::max(1, rows))
    , m_cols(std::max(kMinCols, cols))
{
    m_impl->vt = vterm_new_with_allocator(m_rows, m_cols, &m_impl->allocator, &m_impl->heapBytes);
    if (!m_impl->vt)
        throw std::bad_alloc();
    vterm_set_utf8(m_impl->vt, 1);
    vterm_output_set_callback(m_impl->vt, &VtCallbacks::output, this);
    m_impl->screen = vterm_obtain_screen(m_impl->vt);
    m_impl->state = vterm_obtain_state(m_impl->vt);
    vterm_screen_set_callbacks(m_impl->screen, &kScreenCallbacks, this);
    vterm_screen_enable_altscreen(m_impl->screen, 1);
    vterm_screen_reset(m_impl->screen, 1);
}

VtScreen::~VtScreen()
{
    vterm_free(m_impl->vt);
}

void VtScreen::setOutputHandler(std::function<void(std::string_view)> handler)
{
    m_output = std::move(handler);
}

void VtScreen::setScrollbackHandler(std::function<void(const VtLine&)> handler)
{
    m_scrollback = std::move(handler);
}

void VtScreen::setScrollbackTextHandler(std::function<void(std::string_view)> handler)
{
    m_scrollbackText = std::move(handler);
}

void VtScreen::deliverScrolled()
{
    if (m_scrolledText.empty())
        return;
    if (m_scrollbackText)
        m_scrollbackText(m_scrolledText);
    release(m_scrolledText);
}

void VtScreen::setUtf8(bool on)
{
    // The engine always reads UTF-8; single bytes are turned into it first.
    m_utf8 = on;
    m_pending.clear();
}

void VtScreen::send(std::string_view bytes)
{
    if (m_impl->probing) {
        m_impl->probed.append(bytes);
        return;
    }
    if (m_output && !bytes.empty())
        m_output(bytes);
}

void VtScreen::feed(std::string_view bytes)
{
    feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

namespace {

// How many bytes at the end of text begin a UTF-8 character that is not
// complete yet. libvterm 0.1.4 shows a character split across two writes as
// U+FFFD, so these wait for the next feed.
std::size_t incompleteTail(const std::uint8_t* text, std::size_t len)
{
    for (std::size_t back = 1; back <= 3 && back <= len; ++back) {
        const std::uint8_t c = text[len - back];
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte: look further back
        const std::size_t need = c >= 0xF0 && c < 0xF8 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
        return need > back ? back : 0;
    }
    return 0;
}

// Marks that combine with the character before them. libvterm stores every
// one of a run in one cell, so a run is kept short.
bool isCombiningMark(char32_t cp)
{
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) || (cp >= 0x0591 && cp <= 0x05C7)
        || (cp >= 0x0610 && cp <= 0x061A) || (cp >= 0x064B && cp <= 0x065F) || (cp >= 0x0E31 && cp <= 0x0E4E)
        || (cp >= 0x1AB0 && cp <= 0x1AFF) || (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF)
        || (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xFE20 && cp <= 0xFE2F);
}

constexpr int kMaxMarks = 4;
// libvterm decodes a write into an array on the stack, as long as the write.
constexpr std::size_t kMaxWrite = 4096;

} // namespace

void VtScreen::feed(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    if (m_utf8 && m_pending.empty()) {
        const std::size_t keep = incompleteTail(bytes.data(), bytes.size());
        const std::size_t held = feedGuarded(bytes.data(), bytes.size() - keep);
        m_pending.assign(bytes.end() - static_cast<std::ptrdiff_t>(keep + held), bytes.end());
        deliverScrolled();
        return;
    }
    std::vector<std::uint8_t>& text = m_buffer;
    text.assign(m_pending.begin(), m_pending.end());
    m_pending.clear();
    if (m_utf8) {
        text.insert(text.end(), bytes.begin(), bytes.end());
    } else {
        // Single-byte characters go to the engine as UTF-8, and C1 controls
        // as their 7-bit forms (9B as ESC [).
        text.reserve(text.size() + bytes.size() * 2);
        for (const std::uint8_t c : bytes) {
            if (c < 0x80) {
                text.push_back(c);
            } else if (c < 0xA0) {
                text.push_back(kEsc);
                text.push_back(static_cast<std::uint8_t>(c - 0x40));
            } else {
                text.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
                text.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
            }
        }
    }
    const std::size_t keep = incompleteTail(text.data(), text.size());
    const std::size_t held = feedGuarded(text.data(), text.size() - keep);
    m_pending.assign(text.end() - static_cast<std::ptrdiff_t>(keep + held), text.end());
    release(text);
    deliverScrolled();
}

// Follows the engine's parser just far enough to see strings and control
// sequences that run away, and cuts them with a CAN, which ends any
// sequence. Everything else passes through in runs.
std::size_t VtScreen::feedGuarded(const std::uint8_t* bytes, std::size_t len)
{
    VTerm* vt = m_impl->vt;
    static const char kCancel = static_cast<char>(kCan);
    std::size_t runStart = 0;
    auto flush = [&](std::size_t end) {
        while (end > runStart) {
            std::size_t cut = end;
            if (cut - runStart > kMaxWrite) {
                cut = runStart + kMaxWrite;
                // Not inside a character, nor between an ESC and what it
                // starts (see StringEsc below).
                while (cut > runStart + 1 && ((bytes[cut] & 0xC0) == 0x80 || bytes[cut - 1] == kEsc))
                    --cut;
            }
            vterm_input_write(vt, reinterpret_cast<const char*>(bytes + runStart), cut - runStart);
            runStart = cut;
        }
        runStart = end;
    };
    // Hands the engine what came before byte i, then a CAN.
    auto cancelAt = [&](std::size_t i) {
        flush(i);
        vterm_input_write(vt, &kCancel, 1);
    };
    auto skip = [&](std::size_t i) {
        flush(i);
        runStart = i + 1;
    };
    m_charLeft = 0;
    m_floodRetryAt = 0;
    auto startCsi = [this] {
        m_scan = Scan::Csi;
        m_csiPhase = 0;
        m_csiSeparators = 0;
        m_csiDigits = 0;
        m_csiBare = true;
        m_csiPlain = true;
        m_csiLeader = 0;
        m_csiFirst = -1;
    };
    // REP (ESC[n b) repeats the last character. libvterm 0.1.4 loops for
    // ever when that character had no width, or before there was one; the
    // repeat is made here instead, as far as the line reaches.
    auto repeatLast = [&] {
        if (m_lastGlyph.empty())
            return;
        VTermPos pos;
        vterm_state_get_cursorpos(m_impl->state, &pos);
        const long room = std::max(0, m_cols - pos.col);
        const long count = std::min(std::max(1L, m_csiFirst), room);
        std::string repeated;
        for (long n = 0; n < count; ++n)
            repeated += m_lastGlyph;
        vterm_input_write(vt, repeated.data(), repeated.size());
    };

    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t c = bytes[i];
        if (m_charLeft > 0 && (c < 0x80 || c >= 0xC0)) {
            // A character cut short. libvterm would carry its start on and
            // decode one character too many into its array; it gets U+FFFD.
            flush(m_charStart);
            vterm_input_write(vt, kReplacement, 3);
            runStart = i;
            m_charLeft = 0;
        }
        if (m_scan == Scan::StringEsc && i - m_stringEscAt > kMaxAfterStringEsc && c != '\\') {
            // Controls after a string's ESC would be held back for ever.
            cancelAt(i);
            m_scan = Scan::Normal;
        }
        if (c == 0x00 || c == kDel) {
            if (m_scan == Scan::String || m_scan == Scan::StringEsc)
                ++m_stringBytes;
            continue;
        }
        if (c < 0x20 || c == kEsc)
            m_marks = 0;
        if (c == kCan || c == kSub) {
            m_scan = Scan::Normal;
            continue;
        }
        if (c == kEsc) {
            if (m_scan == Scan::String)
                m_stringEscAt = i;
            m_scan = m_scan == Scan::String ? Scan::StringEsc : Scan::Esc;
            m_escIntermediate = 0;
            continue;
        }
        if (c == kBel && m_scan == Scan::String) {
            m_scan = Scan::Normal;
            if (badStatusRequest()) {
                cancelAt(i);
                skip(i);
            }
            continue;
        }
        if (c < 0x20) {
            if (c == kShiftOut)
                m_shiftedOut = true;
            else if (c == kShiftIn && m_scan != Scan::String && m_scan != Scan::StringEsc)
                m_shiftedOut = false;
            // Other controls act even inside a sequence and leave it going.
            if (m_scan == Scan::String && ++m_stringBytes > kMaxStringBytes) {
                cancelAt(i);
                m_scan = Scan::Normal;
            } else if (c == '\n' && m_scan == Scan::Normal && i + 1 >= m_floodRetryAt && floodSafe()) {
                // The engine's writes are cut here only when a flood follows.
                const std::size_t next = skipFlood(bytes, len, i + 1, [&] { flush(i + 1); });
                if (next > i + 1) {
                    runStart = next;
                    i = next - 1;
                }
            }
            continue;
        }

        switch (m_scan) {
        case Scan::StringEsc:
            if (c == '\\') {
                // libvterm 0.1.4 measures the string up to the byte before the
                // ST; controls between the ESC and the backslash make that
                // length -1. They are left out.
                if (badStatusRequest()) {
                    flush(m_stringEscAt);
                    vterm_input_write(vt, &kCancel, 1);
                    runStart = i + 1;
                } else if (i - m_stringEscAt > 1) {
                    flush(m_stringEscAt);
                    vterm_input_write(vt, "\x1b\\", 2);
                    runStart = i + 1;
                }
                m_scan = Scan::Normal;
                break;
            }
            [[fallthrough]];
        case Scan::Esc:
            if (c == '[') {
                startCsi();
            } else if (c == ']' || c == 'P') {
                m_scan = Scan::String;
                m_stringBytes = 0;
                m_dcs = c == 'P';
                m_stringHead.clear();
            } else if (c < 0x30 || c >= 0x80) {
                m_scan = Scan::Esc; // an intermediate, or a byte the engine ignores here
                if (c < 0x30 && m_escIntermediate == 0)
                    m_escIntermediate = c;
            } else {
                m_scan = Scan::Normal;
                noteEscape(c);
                if (c == '8' && m_escIntermediate == 0) {
                    flush(i + 1);
                    keepCursorOnScreen();
                }
            }
            break;
        case Scan::Csi:
            if (m_csiPhase == 0) {
                if (c >= 0x3C && c <= 0x3F) {
                    m_csiBare = false; // a leader byte
                    m_csiPlain = false;
                    if (m_csiLeader == 0)
                        m_csiLeader = c;
                    break;
                }
                m_csiPhase = 1;
            }
            if (m_csiPhase == 1) {
                if (c >= '0' && c <= '9') {
                    m_csiBare = false;
                    if (m_csiSeparators == 0 && m_csiDigits < kMaxCsiDigits)
                        m_csiFirst = std::max(0L, m_csiFirst) * 10 + (c - '0');
                    if (++m_csiDigits > kMaxCsiDigits) {
                        cancelAt(i);
                        skip(i);
                        m_scan = Scan::CsiDrop;
                    }
                    break;
                }
                if (c == ';' || c == ':') {
                    m_csiBare = false;
                    m_csiDigits = 0;
                    if (++m_csiSeparators > kMaxCsiSeparators) {
                        cancelAt(i);
                        skip(i);
                        m_scan = Scan::CsiDrop;
                    }
                    break;
                }
                m_csiPhase = 2;
            }
            if (c < 0x30) {
                m_csiBare = false; // an intermediate byte
                m_csiPlain = false;
                m_csiLeader = 0xFF; // no mode of the kind noteCsi looks for
                break;
            }
            m_scan = Scan::Normal; // the final byte, or an invalid one
            noteCsi(c);
            if (c == 'l' && m_csiLeader == '?') {
                // Leaving the alternate screen restores the cursor too.
                flush(i + 1);
                keepCursorOnScreen();
            }
            if (m_csiPlain && c == 'b') {
                cancelAt(i);
                skip(i);
                repeatLast();
                break;
            }
            if (m_csiBare && (c == 's' || c == 'u')) {
                // ESC[s and ESC[u save and restore the cursor, as ESC 7 and
                // ESC 8 do; libvterm 0.1.4 knows only the latter (and takes
                // ESC[s for setting margins, which homes the cursor).
                cancelAt(i);
                skip(i);
                vterm_input_write(vt, c == 's' ? "\x1b" "7" : "\x1b" "8", 2);
                keepCursorOnScreen();
            }
            break;
        case Scan::CsiDrop:
            // What is left of a dropped sequence, up to its final byte.
            skip(i);
            if (c >= 0x40)
                m_scan = Scan::Normal;
            break;
        case Scan::String:
            if (m_stringHead.size() < kStringHead)
                m_stringHead.push_back(static_cast<char>(c));
            if (++m_stringBytes > kMaxStringBytes) {
                cancelAt(i);
                m_scan = Scan::Normal;
            }
            break;
        case Scan::Normal:
            if (c < 0x7F) {
                m_lastGlyph.assign(1, static_cast<char>(c));
                m_charLeft = 0;
                m_marks = 0;
            } else if ((c >= 0xC0 && c < 0xC2) || c > 0xF4) {
                // Never in UTF-8 (libvterm would take 5- and 6-byte forms).
                flush(i);
                vterm_input_write(vt, kReplacement, 3);
                runStart = i + 1;
            } else if (c >= 0xC2) {
                m_charStart = i;
                m_char = c >= 0xF0 ? c & 0x07 : c >= 0xE0 ? c & 0x0F : c & 0x1F;
                m_charLeft = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            } else if (c >= 0x80) {
                if (m_charLeft > 0) {
                    m_char = (m_char << 6) | (c & 0x3F);
                    if (--m_charLeft == 0) {
                        if (!isCombiningMark(m_char)) {
                            m_marks = 0;
                            m_lastGlyph.assign(reinterpret_cast<const char*>(bytes + m_charStart), i + 1 - m_charStart);
                        } else if (++m_marks > kMaxMarks) {
                            // Complete characters never span feeds.
                            flush(m_charStart);
                            runStart = i + 1;
                        }
                    }
                }
            }
            break;
        }
    }
    if (m_charLeft > 0) {
        // Cut short by what waits for the next feed: it cannot complete.
        flush(m_charStart);
        vterm_input_write(vt, kReplacement, 3);
        runStart = len;
        m_charLeft = 0;
    }
    if (m_scan == Scan::StringEsc) {
        // libvterm 0.1.4 takes the length of a string ended by an ESC in
        // one write and a backslash in the next as -1, and reads on past
        // the input; the ESC waits for what follows it.
        flush(m_stringEscAt);
        m_scan = Scan::String;
        return len - m_stringEscAt;
    }
    flush(len);
    return 0;
}

bool VtScreen::badStatusRequest() const
{
    // libvterm 0.1.4 answers a status request (DCS $ q) it does not know
    // with a format that takes the request's length for its text: it would
    // read memory at that address. Only the ones it knows are let through.
    if (!m_dcs || m_stringHead.compare(0, 2, "$q") != 0)
        return false;
    const std::string_view request = std::string_view(m_stringHead).substr(2);
    return !(request == "m" || request == "r" || request == "s" || request == " q" || request == "\"q");
}

void VtScreen::keepCursorOnScreen()
{
    // libvterm 0.1.4 restores a cursor saved before the screen shrank where
    // it was, outside the screen, and then reads and writes its line data
    // past the end. It goes to the nearest place on the screen.
    VTermPos pos;
    vterm_state_get_cursorpos(m_impl->state, &pos);
    if (pos.row >= 0 && pos.row < m_rows && pos.col >= 0 && pos.col < m_cols)
        return;
    const std::string to = "\x1b[" + std::to_string(std::clamp(pos.row, 0, m_rows - 1) + 1) + ';'
        + std::to_string(std::clamp(pos.col, 0, m_cols - 1) + 1) + 'H';
    vterm_input_write(m_impl->vt, to.data(), to.size());
}

void VtScreen::noteEscape(std::uint8_t final)
{
    switch (m_escIntermediate) {
    case 0:
        if (final == 'c') // a full reset
            m_regionSet = m_sideMarginsSet = m_lrMargins = m_g0Special = m_g1Special = m_shiftedOut = m_oddShift = m_noAutowrap = false;
        else if (final == 'n' || final == 'o' || final == 'N' || final == 'O')
            m_oddShift = true; // G2 or G3 in use
        break;
    case '(':
        m_g0Special = final != 'B';
        break;
    case ')':
        m_g1Special = final != 'B';
        break;
    case '#':
        m_oddShift = true; // double-size lines
        break;
    default:
        break;
    }
}

void VtScreen::noteCsi(std::uint8_t final)
{
    if (final == 'r' && m_csiPlain) {
        m_regionSet = !m_csiBare;
    } else if (final == 's' && m_csiPlain && !m_csiBare) {
        m_sideMarginsSet = true; // (a bare one saves the cursor instead)
    } else if (final == 'h' && !m_csiPlain && (m_csiSeparators > 0 || m_csiFirst == 69)) {
        m_lrMargins = true;
    } else if (final == 'l' && m_csiLeader == '?' && m_csiSeparators == 0 && m_csiFirst == 69) {
        m_lrMargins = false;
    }
    if (final == 'l' && !m_csiPlain && (m_csiSeparators > 0 || m_csiFirst == 7))
        m_noAutowrap = true;
    else if (final == 'h' && m_csiLeader == '?' && m_csiSeparators == 0 && m_csiFirst == 7)
        m_noAutowrap = false;
}

bool VtScreen::floodSafe() const
{
    return m_scrollbackText && !m_scrollback && !m_altScreen && !m_regionSet && !m_lrMargins && !m_oddShift
        && !m_noAutowrap && !(m_shiftedOut ? m_g1Special : m_g0Special);
}

namespace {

constexpr std::size_t kNoLine = static_cast<std::size_t>(-1);

// Where a plain line that starts at pos ends, just past its CR LF: printable
// ASCII and colour sequences (ESC [ digits and semicolons m). kNoLine when
// the line is not plain or not complete. chars: how many characters it has.
std::size_t plainLineEnd(const std::uint8_t* bytes, std::size_t len, std::size_t pos, std::size_t& chars)
{
    chars = 0;
    while (pos < len) {
        const std::uint8_t c = bytes[pos];
        if (c >= 0x20 && c < 0x7F) {
            ++chars;
            ++pos;
        } else if (c == '\r') {
            return pos + 1 < len && bytes[pos + 1] == '\n' ? pos + 2 : kNoLine;
        } else if (c == kEsc) {
            if (pos + 1 >= len || bytes[pos + 1] != '[')
                return kNoLine;
            pos += 2;
            int separators = 0;
            int digits = 0;
            for (; pos < len && bytes[pos] != 'm'; ++pos) {
                if (bytes[pos] == ';') {
                    if (++separators > kMaxCsiSeparators)
                        return kNoLine;
                    digits = 0;
                } else if (bytes[pos] < '0' || bytes[pos] > '9' || ++digits > kMaxCsiDigits) {
                    return kNoLine;
                }
            }
            if (pos >= len)
                return kNoLine;
            ++pos;
        } else {
            return kNoLine;
        }
    }
    return kNoLine;
}

// Past the lines it takes, the flood is worth taking in bulk only when it
// runs this many screens.
constexpr int kFloodScreens = 2;

} // namespace

// A flood of plain lines arriving at the bottom row, with the row blank and
// the whole screen scrolling: every line but the last rows-1 scrolls off
// before it could be seen. The engine would draw each and move the screen up
// a row for each; here the rows above scroll off, the lines that would
// follow them go straight to the scrollback text, the engine gets their
// colour sequences (its pen ends as it would have) and clears the screen as
// the last of them would have left it, and the last rows-1 lines go to the
// engine as they came, the blank rows they push off not counted.
std::size_t VtScreen::skipFlood(const std::uint8_t* bytes, std::size_t len, std::size_t pos,
                                const std::function<void()>& flushToPos)
{
    // A screen of one row scrolls nothing into the scrollback.
    if (m_rows < 2)
        return pos;
    // The lines, and the rows they take when they wrap (autowrap is on).
    // The last rows-1 lines are remembered: the last rows-1 rows are among
    // them.
    const auto cols = static_cast<std::size_t>(m_cols);
    const std::size_t kept = static_cast<std::size_t>(m_rows - 1);
    m_floodTail.assign(kept, {});
    std::size_t end = pos;
    std::size_t lines = 0;
    std::size_t rows = 0;
    std::size_t chars = 0;
    for (std::size_t next; (next = plainLineEnd(bytes, len, end, chars)) != kNoLine; end = next) {
        const std::size_t taken = chars == 0 ? 1 : (chars + cols - 1) / cols;
        if (kept > 0)
            m_floodTail[lines % kept] = { end, taken };
        ++lines;
        rows += taken;
    }
    m_floodRetryAt = end + 1;
    if (rows < static_cast<std::size_t>(kFloodScreens * m_rows))
        return pos;
    flushToPos();
    if (!floodSafe()) // the alternate screen may have come with what was flushed
        return pos;
    VTermPos cursor;
    vterm_state_get_cursorpos(m_impl->state, &cursor);
    if (cursor.row != m_rows - 1 || cursor.col != 0)
        return pos;
    VTermScreenCell cell;
    for (int col = 0; col < m_cols; ++col) {
        if (!vterm_screen_get_cell(m_impl->screen, VTermPos { m_rows - 1, col }, &cell)
            || (cell.chars[0] != 0 && cell.chars[0] != ' '))
            return pos;
    }
    // The engine gets the last lines that fill rows-1 rows.
    std::size_t engineLines = 0;
    std::size_t engineRows = 0;
    std::size_t engineFrom = end;
    while (engineRows < kept) {
        const auto& [start, taken] = m_floodTail[(lines - 1 - engineLines) % kept];
        engineRows += taken;
        engineFrom = start;
        ++engineLines;
    }
    if (engineFrom == pos)
        return pos;

    std::vector<VTermScreenCell> row(static_cast<std::size_t>(m_cols));
    for (int r = 0; r + 1 < m_rows; ++r) {
        for (int col = 0; col < m_cols; ++col)
            vterm_screen_get_cell(m_impl->screen, VTermPos { r, col }, &row[static_cast<std::size_t>(col)]);
        appendCellsText(m_scrolledText, row.data(), m_cols);
    }
    m_floodPen.clear();
    std::size_t at = pos;
    std::size_t lastGlyph = kNoLine;
    while (at < engineFrom) {
        std::size_t textStart = m_scrolledText.size();
        std::size_t rowChars = 0;
        while (bytes[at] != '\r') {
            if (bytes[at] != kEsc) {
                if (rowChars == cols) {
                    // Wrapped: the row is full.
                    while (m_scrolledText.size() > textStart && m_scrolledText.back() == ' ')
                        m_scrolledText.pop_back();
                    m_scrolledText.push_back('\n');
                    textStart = m_scrolledText.size();
                    rowChars = 0;
                }
                m_scrolledText.push_back(static_cast<char>(bytes[at]));
                ++rowChars;
                lastGlyph = at++;
                continue;
            }
            std::size_t final = at + 2;
            while (bytes[final] != 'm')
                ++final;
            // A first parameter of 0, or none, resets the pen: what came
            // before no longer counts.
            std::size_t first = at + 2;
            while (first < final && bytes[first] == '0')
                ++first;
            if (first == final || bytes[first] == ';')
                m_floodPen.clear();
            m_floodPen.append(reinterpret_cast<const char*>(bytes + at), final + 1 - at);
            at = final + 1;
        }
        while (m_scrolledText.size() > textStart && m_scrolledText.back() == ' ')
            m_scrolledText.pop_back();
        m_scrolledText.push_back('\n');
        at += 2; // CR LF
    }
    if (lastGlyph != kNoLine)
        m_lastGlyph.assign(1, static_cast<char>(bytes[lastGlyph]));
    // In writes of bounded size, cut between sequences.
    for (std::size_t from = 0; from < m_floodPen.size();) {
        std::size_t to = std::min(m_floodPen.size(), from + kMaxWrite);
        while (to < m_floodPen.size() && to > from + 1 && m_floodPen[to] != static_cast<char>(kEsc))
            --to;
        vterm_input_write(m_impl->vt, m_floodPen.data() + from, to - from);
        from = to;
    }
    release(m_floodPen);
    vterm_input_write(m_impl->vt, "\x1b[2J", 4);
    m_skipPushes = m_rows - 1;
    m_changed = true;
    return at;
}

void VtScreen::resize(int rows, int cols)
{
    rows = std::max(1, rows);
    cols = std::max(kMinCols, cols);
    if (rows == m_rows && cols == m_cols)
        return;
    const bool cutsRegion = (rows < m_rows && m_regionSet) || (cols < m_cols && m_sideMarginsSet);
    m_rows = rows;
    m_cols = cols;
    vterm_set_size(m_impl->vt, rows, cols);
    if (cutsRegion) {
        // libvterm 0.1.4 cuts a region's far edge to the new size but not
        // its near one, and scrolls a region turned inside out with a
        // negative length. The margins go back to the whole screen, as
        // xterm's do on a resize; the cursor stays.
        VTermPos pos;
        vterm_state_get_cursorpos(m_impl->state, &pos);
        vterm_input_write(m_impl->vt, "\x1b[r\x1b[s", 6);
        const std::string back = "\x1b[" + std::to_string(std::clamp(pos.row, 0, m_rows - 1) + 1) + ';'
            + std::to_string(std::clamp(pos.col, 0, m_cols - 1) + 1) + 'H';
        vterm_input_write(m_impl->vt, back.data(), back.size());
        m_regionSet = m_sideMarginsSet = false;
    }
    // Lines below the cursor that a shrink keeps move the screen up, and
    // libvterm 0.1.4 moves the cursor up with them, above the top.
    keepCursorOnScreen();
    m_changed = true;
    deliverScrolled();
}

VtCell VtScreen::cell(int row, int col) const
{
    VTermScreenCell c;
    if (row < 0 || col < 0 || row >= m_rows || col >= m_cols
        || !vterm_screen_get_cell(m_impl->screen, VTermPos { row, col }, &c))
        return {};
    return toCell(c);
}

VtLine VtScreen::row(int r) const
{
    VtLine line;
    if (r < 0 || r >= m_rows)
        return line;
    line.reserve(static_cast<std::size_t>(m_cols));
    for (int c = 0; c < m_cols; ++c)
        line.push_back(cell(r, c));
    trimBlanks(line);
    return line;
}

int VtScreen::cursorRow() const
{
    // A resize can leave libvterm's cursor outside the new size.
    VTermPos pos;
    vterm_state_get_cursorpos(m_impl->state, &pos);
    return std::clamp(pos.row, 0, m_rows - 1);
}

int VtScreen::cursorCol() const
{
    VTermPos pos;
    vterm_state_get_cursorpos(m_impl->state, &pos);
    return std::clamp(pos.col, 0, m_cols - 1);
}

bool VtScreen::bracketedPaste() const
{
    // libvterm 0.1.4 keeps the mode to itself; it shows in whether a paste
    // would be announced.
    m_impl->probing = true;
    m_impl->probed.clear();
    vterm_keyboard_start_paste(m_impl->vt);
    m_impl->probing = false;
    return !m_impl->probed.empty();
}

bool VtScreen::takeChanged()
{
    const bool was = m_changed;
    m_changed = false;
    return was;
}

std::string VtScreen::keySequence(VtKey key, unsigned modifiers) const
{
    const std::string alt = (modifiers & kVtAlt) ? std::string(1, static_cast<char>(kEsc)) : std::string();
    switch (key) {
    case VtKey::Enter:
        return alt + "\r";
    case VtKey::Tab:
        return (modifiers & kVtShift) ? std::string("\x1b[Z") : alt + "\t";
    case VtKey::Backspace:
        return alt + std::string(1, static_cast<char>(m_backspace));
    case VtKey::Escape:
        return alt + "\x1b";
    default:
        break;
    }
    VTermKey k = VTERM_KEY_NONE;
    switch (key) {
    case VtKey::Up: k = VTERM_KEY_UP; break;
    case VtKey::Down: k = VTERM_KEY_DOWN; break;
    case VtKey::Left: k = VTERM_KEY_LEFT; break;
    case VtKey::Right: k = VTERM_KEY_RIGHT; break;
    case VtKey::Home: k = VTERM_KEY_HOME; break;
    case VtKey::End: k = VTERM_KEY_END; break;
    case VtKey::PageUp: k = VTERM_KEY_PAGEUP; break;
    case VtKey::PageDown: k = VTERM_KEY_PAGEDOWN; break;
    case VtKey::Insert: k = VTERM_KEY_INS; break;
    case VtKey::Delete: k = VTERM_KEY_DEL; break;
    default:
        k = static_cast<VTermKey>(VTERM_KEY_FUNCTION(1 + static_cast<int>(key) - static_cast<int>(VtKey::F1)));
        break;
    }
    // The engine knows the device's key modes; what it would send is taken
    // instead of sent.
    m_impl->probing = true;
    m_impl->probed.clear();
    vterm_keyboard_key(m_impl->vt, k, static_cast<VTermModifier>(modifiers & (kVtShift | kVtAlt | kVtCtrl)));
    m_impl->probing = false;
    return m_impl->probed;
}

std::string VtScreen::charSequence(char32_t ch, unsigned modifiers) const
{
    std::string out;
    if (modifiers & kVtAlt)
        out.push_back(static_cast<char>(kEsc));
    if ((modifiers & kVtCtrl) && ((ch >= U'a' && ch <= U'z') || (ch >= U'@' && ch <= U'_')))
        out.push_back(static_cast<char>(ch & 0x1F));
    else if (!m_utf8)
        out.push_back(ch <= 0xFF ? static_cast<char>(ch) : '?');
    else
        appendUtf8(out, ch);
    return out;
}

std::string VtScreen::pasteSequence(std::string_view text) const
{
    if (!bracketedPaste())
        return std::string(text);
    // The text cannot end the bracket early: its own ESCs are left out.
    std::string out = "\x1b[200~";
    out.reserve(text.size() + 12);
    for (const char c : text)
        if (static_cast<std::uint8_t>(c) != kEsc)
            out.push_back(c);
    out += "\x1b[201~";
    return out;
}

void VtScreen::reset()
{
    vterm_screen_reset(m_impl->screen, 1);
    m_scan = Scan::Normal;
    m_lastGlyph.clear();
    m_pending.clear();
    m_regionSet = m_sideMarginsSet = m_lrMargins = m_g0Special = m_g1Special = m_shiftedOut = m_oddShift = m_noAutowrap = false;
    m_altScreen = false;
    m_cursorVisible = true;
    m_changed = true;
}

std::size_t VtScreen::engineBytes() const
{
    return m_impl->heapBytes;
}

} // namespace merovan
