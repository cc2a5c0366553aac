// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "terminal/display_text.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>

#include <deque>

// The terminal's text view: a bounded store of lines, painted a screenful at
// a time, so the cost of showing more data does not grow with what the view
// already holds. It keeps a caret and a selection like an editor, but keys
// that produce characters are handed out through keyTyped() instead of being
// inserted.
//
// Received text always goes at the end; the user's caret, selection and
// scroll position are theirs. The view follows the end while it is scrolled
// to the bottom; once the user scrolls up it keeps their place and shows the
// "new output below" marker until they are back at the bottom.
class TerminalView : public QAbstractScrollArea
{
    Q_OBJECT

public:
    struct Pos
    {
        int line = 0;
        int col = 0;
        friend bool operator==(const Pos&, const Pos&) = default;
        friend auto operator<=>(const Pos&, const Pos&) = default;
    };

    static constexpr int kDefaultMaxLines = 100000;

    explicit TerminalView(QWidget* parent = nullptr);

    // Oldest lines are dropped beyond this many.
    void setMaxLines(int lines);
    int maxLines() const { return m_maxLines; }

    // Appends text at the end of the view. The caret and selection stay on
    // the text they were on; a caret resting at the end with nothing selected
    // moves on with the end. Scrolls to the end while following it, else
    // shows the new-output marker. '\n' breaks lines.
    void showText(const QString& text);
    // Inserts text at the caret, replacing the selection; the caret ends
    // after the inserted text.
    void insertText(const QString& text);

    QString text() const;
    int lineCount() const { return static_cast<int>(m_lines.size()); }
    QString line(int index) const { return m_lines.at(static_cast<std::size_t>(index)); }

    Pos caret() const { return m_caret; }
    void setCaret(Pos pos, bool keepAnchor = false);
    void setSelection(Pos anchor, Pos caret);
    bool hasSelection() const { return m_anchor != m_caret; }
    QString selectedText() const;
    // First line index shown at the top.
    int firstVisibleLine() const;
    int visibleLineCount() const;
    // True while the view stays scrolled to the end as text arrives.
    bool followsEnd() const { return m_follow; }
    // Scrolls to the last line and follows the end again.
    void scrollToEnd();
    // The "new output below" marker, btn_newOutput; a click on it scrolls to
    // the end.
    QWidget* newOutputMarker() const;

    void clear();
    void cut();
    void copy() const;
    void paste();
    // Removes the selection, or the character after the caret.
    void deleteForward();

    // Selects the next match of text after the caret (before it when
    // backward), wrapping around at the end, and scrolls it into view.
    // False, with nothing changed, when there is none.
    bool find(const QString& text, bool backward, Qt::CaseSensitivity cs);

    // Removes the last count characters of the last line (a row that is
    // shown while it is still being filled, then shown again complete).
    void removeTrailing(int count);

    void setTextColor(const QColor& color);
    QColor textColor() const { return m_textColor; }
    void setBackgroundColor(const QColor& color);
    QColor backgroundColor() const { return m_backgroundColor; }

    // How typed characters above 7F become bytes (Latin-1 by default).
    void setCharset(merovan::Charset charset) { m_charset = charset; }

signals:
    // A key that produces a character: each of the bytes that carry it in
    // the view's charset, one signal per byte.
    void keyTyped(quint8 byte);
    // A typed character the charset has no bytes for; nothing was sent.
    void characterRefused(const QString& character);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    Pos clamp(Pos pos) const;
    Pos posAt(const QPoint& point) const;
    int xOf(Pos pos) const;
    void removeSelection();
    // Inserts text at a position without touching caret or selection;
    // returns the position after the inserted text.
    Pos insertAt(Pos at, const QString& text);
    // Drops the oldest lines beyond the limit; returns how many went.
    int trim();
    void placeMarker();
    void scrolledBy(int value);
    void updateMetrics();
    void updateScrollBars();
    void ensureCaretVisible();
    Pos endPos() const;

    std::deque<QString> m_lines;
    Pos m_caret;
    Pos m_anchor;
    int m_maxLines = kDefaultMaxLines;
    int m_widestLine = 0;
    int m_lineHeight = 1;
    int m_charWidth = 1;
    int m_ascent = 0;
    bool m_fixedPitch = true;
    bool m_follow = true;
    // Set while the view moves its own scroll bar, so only the user's
    // scrolling decides whether the view follows the end.
    bool m_scrollingItself = false;
    class QToolButton* m_marker = nullptr;
    QColor m_textColor;
    QColor m_backgroundColor;
    merovan::Charset m_charset = merovan::Charset::Latin1;
};
