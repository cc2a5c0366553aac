// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QColor>
#include <QPoint>
#include <QWidget>

#include <array>

namespace merovan {
class VtScreen;
}
class QTimer;

// The emulated terminal's screen: it only draws the screen model and turns
// keys into the bytes an xterm sends. Repaints are batched on a short timer
// rather than made for every chunk fed to the model. The screen follows the
// widget's size; the device is told nothing of it.
//
// Ctrl+Shift+C copies the selection, Ctrl+Shift+V pastes the clipboard to the
// device (bracketed when the device asked for that). Tab goes to the device,
// not to the focus chain.
class VtView : public QWidget
{
    Q_OBJECT

public:
    explicit VtView(merovan::VtScreen& screen, QWidget* parent = nullptr);

    // The default colours; the 16 ANSI colours are drawn so that they stay
    // readable on the background.
    void setTextColor(const QColor& color);
    void setBackgroundColor(const QColor& color);
    QColor textColor() const { return m_text; }
    QColor backgroundColor() const { return m_background; }
    // An ANSI or palette colour as it is drawn as text on the background.
    QColor drawnColor(int index) const;

    // What Enter sends; CR unless set.
    void setEnterBytes(const QByteArray& bytes) { m_enter = bytes; }

    // Something was fed to the screen: a repaint follows soon.
    void screenChanged();
    // Repaints now what changed (tests, and before a screenshot).
    void flushRepaint();

    QString selectedText() const;
    bool hasSelection() const { return m_anchor != m_end; }
    void copy() const;
    // Sends the clipboard's text as pasted.
    void paste();

    // The screen size that fits the widget.
    int fittingRows() const;
    int fittingColumns() const;

signals:
    // Bytes for the device: keys and pasted text.
    void bytesTyped(const QByteArray& bytes);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool event(QEvent* event) override;

private:
    void updateMetrics();
    void fitScreen();
    void updatePalette();
    QPoint cellAt(const QPoint& pixel) const;
    void type(const std::string& bytes);

    merovan::VtScreen& m_screen;
    QTimer* m_repaint = nullptr;
    QColor m_text { Qt::yellow };
    QColor m_background { 0, 0x80, 0 };
    std::array<QColor, 16> m_ansi;
    QByteArray m_enter { "\r" };
    int m_charWidth = 8;
    int m_lineHeight = 16;
    int m_ascent = 12;
    // The selection, in cells (x column, y row), from anchor to end.
    QPoint m_anchor;
    QPoint m_end;
};
