// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/vt_view.h"

#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

using merovan::VtCell;
using merovan::VtColor;
using merovan::VtKey;

namespace {

// A screenful of output is drawn at most this often.
constexpr int kRepaintMs = 16;
// The contrast (as WCAG measures it) an ANSI colour keeps against the
// background; the default green makes several of xterm's colours vanish.
constexpr double kMinContrast = 3.0;

double luminance(const QColor& c)
{
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor mix(const QColor& from, const QColor& to, double t)
{
    return QColor::fromRgbF(static_cast<float>(from.redF() + (to.redF() - from.redF()) * t),
                            static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * t),
                            static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * t));
}

// The colour moved towards white or black, whichever gets there sooner,
// until it stands out from the background.
QColor readableOn(const QColor& color, const QColor& background)
{
    if (contrast(color, background) >= kMinContrast)
        return color;
    for (int step = 1; step <= 10; ++step) {
        const double t = step / 10.0;
        const QColor lighter = mix(color, Qt::white, t);
        const QColor darker = mix(color, Qt::black, t);
        const double cl = contrast(lighter, background);
        const double cd = contrast(darker, background);
        if (cl >= kMinContrast || cd >= kMinContrast)
            return cl >= cd ? lighter : darker;
    }
    return contrast(Qt::white, background) > contrast(Qt::black, background) ? QColor(Qt::white) : QColor(Qt::black);
}

QColor fromRgb(const merovan::VtRgb& c)
{
    return QColor(c.r, c.g, c.b);
}

} // namespace

VtView::VtView(merovan::VtScreen& screen, QWidget* parent)
    : QWidget(parent)
    , m_screen(screen)
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setCursor(Qt::IBeamCursor);
    m_repaint = new QTimer(this);
    m_repaint->setSingleShot(true);
    m_repaint->setInterval(kRepaintMs);
    connect(m_repaint, &QTimer::timeout, this, &VtView::flushRepaint);
    updateMetrics();
    updatePalette();
}

void VtView::setTextColor(const QColor& color)
{
    m_text = color;
    update();
}

void VtView::setBackgroundColor(const QColor& color)
{
    m_background = color;
    updatePalette();
    update();
}

void VtView::updatePalette()
{
    for (int i = 0; i < 16; ++i)
        m_ansi[static_cast<std::size_t>(i)] = readableOn(fromRgb(merovan::vtPaletteColor(static_cast<std::uint8_t>(i))),
                                                         m_background);
}

QColor VtView::drawnColor(int index) const
{
    if (index >= 0 && index < 16)
        return m_ansi[static_cast<std::size_t>(index)];
    return fromRgb(merovan::vtPaletteColor(static_cast<std::uint8_t>(std::clamp(index, 0, 255))));
}

void VtView::screenChanged()
{
    if (!m_repaint->isActive())
        m_repaint->start();
}

void VtView::flushRepaint()
{
    m_repaint->stop();
    if (m_screen.takeChanged())
        update();
}

void VtView::updateMetrics()
{
    const QFontMetrics fm(font());
    m_lineHeight = std::max(1, fm.lineSpacing());
    m_charWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    m_ascent = fm.ascent();
}

int VtView::fittingRows() const
{
    return std::max(1, height() / m_lineHeight);
}

int VtView::fittingColumns() const
{
    return std::max(1, width() / m_charWidth);
}

void VtView::fitScreen()
{
    m_screen.resize(fittingRows(), fittingColumns());
    m_anchor = m_end = QPoint();
    update();
}

void VtView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitScreen();
}

void VtView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        fitScreen();
    }
}

void VtView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), m_background);
    QFont normal = font();
    QFont bold = font();
    bold.setBold(true);
    const bool fixedPitch = QFontInfo(normal).fixedPitch();
    const int rows = m_screen.rows();
    const int cols = m_screen.cols();
    const int cursorRow = m_screen.cursorRow();
    const int cursorCol = m_screen.cursorCol();
    const bool showCursor = m_screen.cursorVisible();
    const QPoint selFrom = std::min(m_anchor, m_end, [](QPoint a, QPoint b) { return std::pair(a.y(), a.x()) < std::pair(b.y(), b.x()); });
    const QPoint selTo = selFrom == m_anchor ? m_end : m_anchor;
    auto selected = [&](int r, int c) {
        return hasSelection() && std::pair(r, c) >= std::pair(selFrom.y(), selFrom.x())
            && std::pair(r, c) < std::pair(selTo.y(), selTo.x());
    };

    struct Look
    {
        QColor fg, bg;
        bool bold = false;
        bool underline = false;
        bool operator==(const Look&) const = default;
    };
    auto lookOf = [&](const VtCell& cell, bool inverse) {
        Look look;
        switch (cell.fg.kind) {
        case VtColor::Kind::Default: look.fg = m_text; break;
        case VtColor::Kind::Indexed:
            look.fg = drawnColor(cell.bold && cell.fg.index < 8 ? cell.fg.index + 8 : cell.fg.index);
            break;
        case VtColor::Kind::Rgb: look.fg = QColor(cell.fg.r, cell.fg.g, cell.fg.b); break;
        }
        switch (cell.bg.kind) {
        case VtColor::Kind::Default: look.bg = m_background; break;
        case VtColor::Kind::Indexed: look.bg = fromRgb(merovan::vtPaletteColor(cell.bg.index)); break;
        case VtColor::Kind::Rgb: look.bg = QColor(cell.bg.r, cell.bg.g, cell.bg.b); break;
        }
        if (cell.reverse != inverse)
            std::swap(look.fg, look.bg);
        look.bold = cell.bold;
        look.underline = cell.underline;
        return look;
    };
    auto draw = [&](int row, int col, int width, const QString& text, const Look& look) {
        const QRect box(col * m_charWidth, row * m_lineHeight, width * m_charWidth, m_lineHeight);
        if (look.bg != m_background)
            p.fillRect(box, look.bg);
        QFont f = look.bold ? bold : normal;
        f.setUnderline(look.underline);
        p.setFont(f);
        p.setPen(look.fg);
        if (fixedPitch) {
            p.drawText(box.x(), box.y() + m_ascent, text);
        } else {
            int x = box.x();
            for (const QChar ch : text) {
                p.drawText(x, box.y() + m_ascent, QString(ch));
                x += m_charWidth;
            }
        }
    };

    for (int r = 0; r < rows; ++r) {
        QString run;
        Look runLook;
        int runCol = 0;
        int runWidth = 0;
        for (int c = 0; c < cols; ++c) {
            const VtCell cell = m_screen.cell(r, c);
            if (cell.width == 0)
                continue;
            const bool cursorHere = showCursor && r == cursorRow && c == cursorCol && hasFocus();
            const Look look = lookOf(cell, selected(r, c) != cursorHere);
            const QString text = cell.ch < 0x10000 ? QString(QChar(static_cast<char16_t>(cell.ch)))
                                                   : QString::fromUcs4(&cell.ch, 1);
            if (runWidth > 0 && (look != runLook || cell.width != 1 || !fixedPitch)) {
                draw(r, runCol, runWidth, run, runLook);
                runWidth = 0;
                run.clear();
            }
            if (runWidth == 0) {
                runCol = c;
                runLook = look;
            }
            run += text;
            runWidth += cell.width;
            if (cell.width != 1) {
                draw(r, runCol, runWidth, run, runLook);
                runWidth = 0;
                run.clear();
            }
        }
        if (runWidth > 0)
            draw(r, runCol, runWidth, run, runLook);
    }
    if (showCursor && !hasFocus() && cursorRow < rows && cursorCol < cols) {
        p.setPen(m_text);
        p.drawRect(cursorCol * m_charWidth, cursorRow * m_lineHeight, m_charWidth - 1, m_lineHeight - 1);
    }
}

void VtView::type(const std::string& bytes)
{
    if (!bytes.empty())
        emit bytesTyped(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

bool VtView::event(QEvent* event)
{
    // Every key belongs to the device while the screen has the focus, Ctrl
    // and Alt combinations included, rather than to the window's shortcuts.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

bool VtView::focusNextPrevChild(bool)
{
    return false; // Tab is the device's, for completion
}

void VtView::keyPressEvent(QKeyEvent* event)
{
    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool ctrl = mods & Qt::ControlModifier;
    const bool shift = mods & Qt::ShiftModifier;
    const bool alt = mods & Qt::AltModifier;
    const int key = event->key();
    if (ctrl && shift && key == Qt::Key_C) {
        copy();
        return;
    }
    if (ctrl && shift && key == Qt::Key_V) {
        paste();
        return;
    }
    const unsigned vm = (shift ? merovan::kVtShift : 0u) | (alt ? merovan::kVtAlt : 0u) | (ctrl ? merovan::kVtCtrl : 0u);
    static const std::pair<int, VtKey> kKeys[] = {
        { Qt::Key_Up, VtKey::Up },         { Qt::Key_Down, VtKey::Down },         { Qt::Key_Left, VtKey::Left },
        { Qt::Key_Right, VtKey::Right },   { Qt::Key_Home, VtKey::Home },         { Qt::Key_End, VtKey::End },
        { Qt::Key_PageUp, VtKey::PageUp }, { Qt::Key_PageDown, VtKey::PageDown }, { Qt::Key_Insert, VtKey::Insert },
        { Qt::Key_Delete, VtKey::Delete }, { Qt::Key_F1, VtKey::F1 },             { Qt::Key_F2, VtKey::F2 },
        { Qt::Key_F3, VtKey::F3 },         { Qt::Key_F4, VtKey::F4 },             { Qt::Key_F5, VtKey::F5 },
        { Qt::Key_F6, VtKey::F6 },         { Qt::Key_F7, VtKey::F7 },             { Qt::Key_F8, VtKey::F8 },
        { Qt::Key_F9, VtKey::F9 },         { Qt::Key_F10, VtKey::F10 },           { Qt::Key_F11, VtKey::F11 },
        { Qt::Key_F12, VtKey::F12 },       { Qt::Key_Tab, VtKey::Tab },           { Qt::Key_Backspace, VtKey::Backspace },
        { Qt::Key_Escape, VtKey::Escape },
    };
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        type((alt ? std::string("\x1b") : std::string()) + m_enter.toStdString());
        return;
    }
    if (key == Qt::Key_Backtab) {
        type(m_screen.keySequence(VtKey::Tab, merovan::kVtShift));
        return;
    }
    for (const auto& [qtKey, vtKey] : kKeys) {
        if (key == qtKey) {
            type(m_screen.keySequence(vtKey, vm));
            return;
        }
    }
    if (ctrl && key >= Qt::Key_A && key <= Qt::Key_Z) {
        type(m_screen.charSequence(static_cast<char32_t>(U'a' + (key - Qt::Key_A)), vm & ~merovan::kVtShift));
        return;
    }
    const QString text = event->text();
    if (text.isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    std::string bytes;
    for (const char32_t ch : text.toUcs4()) {
        if (ch < 0x20 || ch == 0x7F)
            bytes += (alt ? std::string("\x1b") : std::string()) + static_cast<char>(ch);
        else
            bytes += m_screen.charSequence(ch, alt ? merovan::kVtAlt : 0u);
    }
    type(bytes);
}

QPoint VtView::cellAt(const QPoint& pixel) const
{
    return { std::clamp(pixel.x() / m_charWidth, 0, m_screen.cols()),
             std::clamp(pixel.y() / m_lineHeight, 0, m_screen.rows() - 1) };
}

void VtView::mousePressEvent(QMouseEvent* event)
{
    setFocus();
    if (event->button() == Qt::LeftButton) {
        m_anchor = m_end = cellAt(event->position().toPoint());
        update();
    } else if (event->button() == Qt::MiddleButton) {
        const QString text = QApplication::clipboard()->text(QClipboard::Selection);
        if (!text.isEmpty())
            type(m_screen.pasteSequence(m_screen.utf8() ? text.toStdString() : text.toLatin1().toStdString()));
    }
}

void VtView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    m_end = cellAt(event->position().toPoint());
    update();
    if (hasSelection() && QApplication::clipboard()->supportsSelection())
        QApplication::clipboard()->setText(selectedText(), QClipboard::Selection);
}

QString VtView::selectedText() const
{
    if (!hasSelection())
        return {};
    auto before = [](QPoint a, QPoint b) { return std::pair(a.y(), a.x()) < std::pair(b.y(), b.x()); };
    const QPoint from = before(m_anchor, m_end) ? m_anchor : m_end;
    const QPoint to = from == m_anchor ? m_end : m_anchor;
    QStringList lines;
    for (int r = from.y(); r <= to.y(); ++r) {
        merovan::VtLine row = m_screen.row(r);
        const int first = r == from.y() ? from.x() : 0;
        const int last = r == to.y() ? to.x() : m_screen.cols();
        merovan::VtLine part;
        for (int c = first; c < last && c < static_cast<int>(row.size()); ++c)
            part.push_back(row[static_cast<std::size_t>(c)]);
        const std::string text = merovan::vtLineText(part);
        lines << QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    }
    return lines.join(QLatin1Char('\n'));
}

void VtView::copy() const
{
    if (hasSelection())
        QApplication::clipboard()->setText(selectedText());
}

void VtView::paste()
{
    const QString text = QApplication::clipboard()->text();
    if (text.isEmpty())
        return;
    // Lines go as the Enter key would end them.
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList parts = lines.split(QLatin1Char('\n'));
    std::string bytes;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0)
            bytes += m_enter.toStdString();
        bytes += m_screen.utf8() ? parts[i].toStdString() : parts[i].toLatin1().toStdString();
    }
    type(m_screen.pasteSequence(bytes));
}
