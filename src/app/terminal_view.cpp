// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/terminal_view.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolButton>

#include <algorithm>

TerminalView::TerminalView(QWidget* parent)
    : QAbstractScrollArea(parent)
    , m_lines(1)
    , m_textColor(Qt::black)
    , m_backgroundColor(Qt::white)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAutoFillBackground(false);
    m_marker = new QToolButton(viewport());
    m_marker->setObjectName(QStringLiteral("btn_newOutput"));
    m_marker->setText(QStringLiteral("new output below"));
    m_marker->setArrowType(Qt::DownArrow);
    m_marker->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_marker->setFocusPolicy(Qt::NoFocus);
    m_marker->setCursor(Qt::ArrowCursor);
    m_marker->hide();
    connect(m_marker, &QToolButton::clicked, this, &TerminalView::scrollToEnd);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TerminalView::scrolledBy);
    updateMetrics();
}

QWidget* TerminalView::newOutputMarker() const
{
    return m_marker;
}

void TerminalView::scrolledBy(int value)
{
    if (m_scrollingItself)
        return;
    m_follow = value >= verticalScrollBar()->maximum();
    if (m_follow)
        m_marker->hide();
}

void TerminalView::scrollToEnd()
{
    m_follow = true;
    m_marker->hide();
    m_scrollingItself = true;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    m_scrollingItself = false;
    viewport()->update();
}

void TerminalView::placeMarker()
{
    m_marker->adjustSize();
    m_marker->move(std::max(0, viewport()->width() - m_marker->width() - 4),
                   std::max(0, viewport()->height() - m_marker->height() - 4));
}

void TerminalView::setMaxLines(int lines)
{
    m_maxLines = std::max(1, lines);
    trim();
    updateScrollBars();
    viewport()->update();
}

void TerminalView::updateMetrics()
{
    const QFontMetrics fm(font());
    m_lineHeight = std::max(1, fm.lineSpacing());
    m_charWidth = std::max(1, qRound(QFontMetricsF(font()).horizontalAdvance(QLatin1Char('M'))));
    m_ascent = fm.ascent();
    // Only a font whose every glyph is one cell wide can be drawn a run at a
    // time; any other is placed a character at a time on the grid.
    m_fixedPitch = fm.horizontalAdvance(QLatin1String("iiiii")) == fm.horizontalAdvance(QLatin1String("MMMMM"));
    updateScrollBars();
}

void TerminalView::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        updateMetrics();
    QAbstractScrollArea::changeEvent(event);
}

int TerminalView::visibleLineCount() const
{
    return std::max(1, viewport()->height() / m_lineHeight);
}

int TerminalView::firstVisibleLine() const
{
    return verticalScrollBar()->value();
}

void TerminalView::updateScrollBars()
{
    const int visible = visibleLineCount();
    QScrollBar* v = verticalScrollBar();
    m_scrollingItself = true;
    v->setRange(0, std::max(0, lineCount() - visible));
    v->setPageStep(visible);
    v->setSingleStep(1);
    if (m_follow)
        v->setValue(v->maximum());
    m_scrollingItself = false;
    // A view that shows its last line (it grew, or the text shrank) is at
    // the end, however it got there.
    if (!m_follow && v->value() >= v->maximum()) {
        m_follow = true;
        m_marker->hide();
    }
    const int width = (m_widestLine + 1) * m_charWidth;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(m_charWidth);
}

void TerminalView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    placeMarker();
}

void TerminalView::scrollContentsBy(int, int)
{
    viewport()->update();
}

TerminalView::Pos TerminalView::clamp(Pos pos) const
{
    pos.line = std::clamp(pos.line, 0, lineCount() - 1);
    pos.col = std::clamp(pos.col, 0, static_cast<int>(m_lines[static_cast<std::size_t>(pos.line)].size()));
    return pos;
}

TerminalView::Pos TerminalView::endPos() const
{
    return { lineCount() - 1, static_cast<int>(m_lines.back().size()) };
}

void TerminalView::setCaret(Pos pos, bool keepAnchor)
{
    m_caret = clamp(pos);
    if (!keepAnchor)
        m_anchor = m_caret;
    ensureCaretVisible();
    viewport()->update();
}

void TerminalView::setSelection(Pos anchor, Pos caret)
{
    m_anchor = clamp(anchor);
    m_caret = clamp(caret);
    viewport()->update();
}

QString TerminalView::selectedText() const
{
    if (!hasSelection())
        return {};
    const Pos from = std::min(m_anchor, m_caret);
    const Pos to = std::max(m_anchor, m_caret);
    if (from.line == to.line)
        return m_lines[static_cast<std::size_t>(from.line)].mid(from.col, to.col - from.col);
    QString out = m_lines[static_cast<std::size_t>(from.line)].mid(from.col);
    for (int l = from.line + 1; l < to.line; ++l) {
        out += QLatin1Char('\n');
        out += m_lines[static_cast<std::size_t>(l)];
    }
    out += QLatin1Char('\n');
    out += m_lines[static_cast<std::size_t>(to.line)].left(to.col);
    return out;
}

QString TerminalView::text() const
{
    QString out;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (i)
            out += QLatin1Char('\n');
        out += m_lines[i];
    }
    return out;
}

void TerminalView::removeSelection()
{
    if (!hasSelection())
        return;
    const Pos from = std::min(m_anchor, m_caret);
    const Pos to = std::max(m_anchor, m_caret);
    auto& first = m_lines[static_cast<std::size_t>(from.line)];
    const QString tail = m_lines[static_cast<std::size_t>(to.line)].mid(to.col);
    first.truncate(from.col);
    first += tail;
    m_lines.erase(m_lines.begin() + from.line + 1, m_lines.begin() + to.line + 1);
    m_caret = m_anchor = from;
}

TerminalView::Pos TerminalView::insertAt(Pos at, const QString& text)
{
    auto& current = m_lines[static_cast<std::size_t>(at.line)];
    const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
    if (firstBreak < 0) {
        current.insert(at.col, text);
        m_widestLine = std::max(m_widestLine, static_cast<int>(current.size()));
        return { at.line, at.col + static_cast<int>(text.size()) };
    }
    const QString tail = current.mid(at.col);
    current.truncate(at.col);
    current += QStringView(text).left(firstBreak);
    m_widestLine = std::max(m_widestLine, static_cast<int>(current.size()));
    // New lines go in one batch; at the end of the text (the usual case for
    // received data) that is a plain append.
    std::vector<QString> added;
    qsizetype start = firstBreak + 1;
    for (;;) {
        const qsizetype brk = text.indexOf(QLatin1Char('\n'), start);
        if (brk < 0) {
            added.push_back(text.mid(start));
            break;
        }
        added.push_back(text.mid(start, brk - start));
        start = brk + 1;
    }
    const int endCol = static_cast<int>(added.back().size());
    added.back() += tail;
    for (const QString& l : added)
        m_widestLine = std::max(m_widestLine, static_cast<int>(l.size()));
    const auto where = m_lines.begin() + at.line + 1;
    m_lines.insert(where, std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    return { at.line + static_cast<int>(added.size()), endCol };
}

void TerminalView::insertText(const QString& text)
{
    removeSelection();
    m_caret = m_anchor = insertAt(m_caret, text);
    trim();
    updateScrollBars();
    viewport()->update();
}

void TerminalView::showText(const QString& text)
{
    // Nothing before the end moves: every other position stays on its text.
    const bool caretAtEnd = !hasSelection() && m_caret == endPos();
    const Pos end = insertAt(endPos(), text);
    if (caretAtEnd)
        m_caret = m_anchor = end;
    QScrollBar* v = verticalScrollBar();
    const int place = v->value();
    const int dropped = trim();
    updateScrollBars();
    if (m_follow) {
        if (caretAtEnd)
            ensureCaretVisible();
    } else {
        // The lines the user is reading moved up with the dropped ones.
        m_scrollingItself = true;
        v->setValue(place - dropped);
        m_scrollingItself = false;
        placeMarker();
        m_marker->show();
    }
    viewport()->update();
}

int TerminalView::trim()
{
    const int excess = lineCount() - m_maxLines;
    if (excess <= 0)
        return 0;
    m_lines.erase(m_lines.begin(), m_lines.begin() + excess);
    // Positions move up with their text; those inside the dropped lines land
    // on the first remaining one.
    auto shift = [&](Pos& p) {
        p.line -= excess;
        if (p.line < 0)
            p = { 0, 0 };
    };
    shift(m_caret);
    shift(m_anchor);
    return excess;
}

void TerminalView::clear()
{
    m_lines.assign(1, QString());
    m_caret = m_anchor = {};
    m_widestLine = 0;
    m_follow = true;
    m_marker->hide();
    updateScrollBars();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

void TerminalView::copy() const
{
    if (hasSelection())
        QApplication::clipboard()->setText(selectedText());
}

void TerminalView::cut()
{
    if (!hasSelection())
        return;
    copy();
    removeSelection();
    updateScrollBars();
    ensureCaretVisible();
    viewport()->update();
}

void TerminalView::paste()
{
    QString text = QApplication::clipboard()->text();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    insertText(text);
    ensureCaretVisible();
}

void TerminalView::deleteForward()
{
    if (!hasSelection()) {
        const auto& current = m_lines[static_cast<std::size_t>(m_caret.line)];
        if (m_caret.col < current.size())
            m_anchor = { m_caret.line, m_caret.col + 1 };
        else if (m_caret.line + 1 < lineCount())
            m_anchor = { m_caret.line + 1, 0 };
        else
            return;
    }
    removeSelection();
    updateScrollBars();
    viewport()->update();
}

bool TerminalView::find(const QString& text, bool backward, Qt::CaseSensitivity cs)
{
    if (text.isEmpty() || text.contains(QLatin1Char('\n')))
        return false;
    const Pos from = std::min(m_anchor, m_caret);
    const Pos to = std::max(m_anchor, m_caret);
    const int lines = lineCount();
    auto select = [&](int line, qsizetype col) {
        m_anchor = { line, static_cast<int>(col) };
        m_caret = { line, static_cast<int>(col + text.size()) };
        ensureCaretVisible();
        viewport()->update();
        return true;
    };
    if (!backward) {
        for (int i = 0; i <= lines; ++i) {
            const int line = (to.line + i) % lines;
            const QString& l = m_lines[static_cast<std::size_t>(line)];
            const qsizetype start = i == 0 ? to.col : 0;
            const qsizetype at = l.indexOf(text, start, cs);
            if (at >= 0 && !(i == lines && at >= to.col))
                return select(line, at);
        }
    } else {
        for (int i = 0; i <= lines; ++i) {
            const int line = ((from.line - i) % lines + lines) % lines;
            const QString& l = m_lines[static_cast<std::size_t>(line)];
            qsizetype at = -1;
            if (i == 0)
                at = from.col - text.size() >= 0 ? l.lastIndexOf(text, from.col - text.size(), cs) : -1;
            else
                at = l.lastIndexOf(text, -1, cs);
            if (at >= 0)
                return select(line, at);
        }
    }
    return false;
}

void TerminalView::removeTrailing(int count)
{
    auto& last = m_lines.back();
    last.chop(std::min<qsizetype>(count, last.size()));
    const Pos end = endPos();
    m_caret = std::min(m_caret, end);
    m_anchor = std::min(m_anchor, end);
    viewport()->update();
}

void TerminalView::setTextColor(const QColor& color)
{
    m_textColor = color;
    viewport()->update();
}

void TerminalView::setBackgroundColor(const QColor& color)
{
    m_backgroundColor = color;
    viewport()->update();
}

int TerminalView::xOf(Pos pos) const
{
    return pos.col * m_charWidth - horizontalScrollBar()->value();
}

TerminalView::Pos TerminalView::posAt(const QPoint& point) const
{
    Pos p;
    p.line = firstVisibleLine() + point.y() / m_lineHeight;
    p.col = (point.x() + horizontalScrollBar()->value() + m_charWidth / 2) / m_charWidth;
    return clamp(p);
}

void TerminalView::ensureCaretVisible()
{
    updateScrollBars();
    const int visible = visibleLineCount();
    QScrollBar* v = verticalScrollBar();
    if (m_caret.line < v->value())
        v->setValue(m_caret.line);
    else if (m_caret.line >= v->value() + visible)
        v->setValue(m_caret.line - visible + 1);
    QScrollBar* h = horizontalScrollBar();
    const int x = m_caret.col * m_charWidth;
    if (x < h->value())
        h->setValue(x);
    else if (x + m_charWidth > h->value() + viewport()->width())
        h->setValue(x + m_charWidth - viewport()->width());
}

void TerminalView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), m_backgroundColor);
    // A glyph's advance may be a fraction of a pixel; drawn a run at a time
    // the fractions add up, and a long (timestamped) line would end a column
    // away from where the caret and the selection are reckoned. Spacing the
    // drawing font by the difference puts every character on its cell.
    QFont cells = font();
    cells.setLetterSpacing(QFont::AbsoluteSpacing,
                           m_charWidth - QFontMetricsF(font()).horizontalAdvance(QLatin1Char('M')));
    painter.setFont(cells);

    const int first = firstVisibleLine();
    const int last = std::min(lineCount() - 1, first + visibleLineCount());
    const int hOffset = horizontalScrollBar()->value();
    const int firstCol = std::max(0, hOffset / m_charWidth - 1);
    const int cols = viewport()->width() / m_charWidth + 3;
    const Pos selFrom = std::min(m_anchor, m_caret);
    const Pos selTo = std::max(m_anchor, m_caret);
    const QColor selBack = palette().color(QPalette::Highlight);
    const QColor selText = palette().color(QPalette::HighlightedText);

    // The view is a grid of character cells, so a line is drawn from the
    // first visible column only, however long it is.
    for (int l = first; l <= last; ++l) {
        const QString& text = m_lines[static_cast<std::size_t>(l)];
        const int y = (l - first) * m_lineHeight;
        if (hasSelection() && l >= selFrom.line && l <= selTo.line) {
            const int from = l == selFrom.line ? selFrom.col : 0;
            const int to = l == selTo.line ? selTo.col : static_cast<int>(text.size()) + 1;
            painter.fillRect(QRect(xOf({ l, from }), y, (to - from) * m_charWidth, m_lineHeight), selBack);
        }
        if (firstCol < text.size()) {
            const int end = std::min(static_cast<int>(text.size()), firstCol + cols);
            // Up to three runs: before, inside and after the selection.
            int cuts[4] = { firstCol, firstCol, end, end };
            if (hasSelection() && l >= selFrom.line && l <= selTo.line) {
                cuts[1] = std::clamp(l == selFrom.line ? selFrom.col : 0, firstCol, end);
                cuts[2] = std::clamp(l == selTo.line ? selTo.col : end, cuts[1], end);
            }
            for (int r = 0; r < 3; ++r) {
                if (cuts[r + 1] <= cuts[r])
                    continue;
                painter.setPen(r == 1 ? selText : m_textColor);
                if (m_fixedPitch) {
                    painter.drawText(QPoint(xOf({ l, cuts[r] }), y + m_ascent), text.mid(cuts[r], cuts[r + 1] - cuts[r]));
                } else {
                    for (int c = cuts[r]; c < cuts[r + 1]; ++c)
                        painter.drawText(QPoint(xOf({ l, c }), y + m_ascent), QString(text.at(c)));
                }
            }
        }
    }
    // A first-use hint, while the view has nothing else to show.
    const QString hint = property("hintText").toString();
    if (!hint.isEmpty() && m_lines.size() == 1 && m_lines.front().isEmpty()) {
        painter.setPen(palette().color(QPalette::Disabled, QPalette::Text).lighter());
        painter.setFont(font());
        const int margin = m_charWidth / 2;
        painter.drawText(viewport()->rect().adjusted(margin, 0, -margin, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                         hint);
    }
    if (hasFocus()) {
        painter.fillRect(QRect(xOf(m_caret), (m_caret.line - first) * m_lineHeight, 2, m_lineHeight), m_textColor);
    }
}

void TerminalView::keyPressEvent(QKeyEvent* event)
{
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    Pos p = m_caret;
    switch (event->key()) {
    case Qt::Key_Left:
        if (p.col > 0)
            --p.col;
        else if (p.line > 0)
            p = { p.line - 1, static_cast<int>(m_lines[static_cast<std::size_t>(p.line - 1)].size()) };
        setCaret(p, shift);
        return;
    case Qt::Key_Right:
        if (p.col < m_lines[static_cast<std::size_t>(p.line)].size())
            ++p.col;
        else if (p.line + 1 < lineCount())
            p = { p.line + 1, 0 };
        setCaret(p, shift);
        return;
    case Qt::Key_Up:
        setCaret({ p.line - 1, p.col }, shift);
        return;
    case Qt::Key_Down:
        setCaret({ p.line + 1, p.col }, shift);
        return;
    case Qt::Key_PageUp:
        setCaret({ p.line - visibleLineCount(), p.col }, shift);
        return;
    case Qt::Key_PageDown:
        setCaret({ p.line + visibleLineCount(), p.col }, shift);
        return;
    case Qt::Key_Home:
        setCaret(ctrl ? Pos {} : Pos { p.line, 0 }, shift);
        return;
    case Qt::Key_End:
        setCaret(ctrl ? endPos() : Pos { p.line, static_cast<int>(m_lines[static_cast<std::size_t>(p.line)].size()) },
                 shift);
        return;
    case Qt::Key_Delete:
        deleteForward();
        return;
    case Qt::Key_Insert:
        return;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        // Tab belongs to focus handling, not to the device.
        event->ignore();
        return;
    default:
        break;
    }

    // Characters go to the device, not into the view.
    if (ctrl && !(event->modifiers() & Qt::AltModifier) && event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z) {
        emit keyTyped(static_cast<quint8>(event->key() - Qt::Key_A + 1));
        return;
    }
    const QString text = event->text();
    if (text.isEmpty()) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    for (const char32_t c : text.toUcs4()) {
        std::string bytes;
        if (!merovan::encodeCharacter(c, m_charset, bytes)) {
            emit characterRefused(QString::fromUcs4(&c, 1));
            continue;
        }
        for (const char b : bytes)
            emit keyTyped(static_cast<quint8>(b));
    }
}

void TerminalView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    setCaret(posAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void TerminalView::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::LeftButton)
        setCaret(posAt(event->position().toPoint()), true);
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        event->accept();
    else
        QAbstractScrollArea::mouseReleaseEvent(event);
}
