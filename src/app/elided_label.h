// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QStyle>

// A label for one line of the status row that never asks for more room than
// it is given: a text too long for it is shown cut with an ellipsis, so a
// long note never widens the window. text() keeps the whole text, and a
// text that fits is shown (and selectable) as by any label.
class ElidedLabel final : public QLabel
{
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override
    {
        QSize size = QLabel::minimumSizeHint();
        size.setWidth(fontMetrics().horizontalAdvance(QStringLiteral("\u2026")) + 2 * frameWidth());
        return size;
    }
    QSize sizeHint() const override
    {
        QSize size = QLabel::sizeHint();
        size.setWidth(minimumSizeHint().width());
        return size;
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        const QRect room = contentsRect();
        if (fontMetrics().horizontalAdvance(text()) <= room.width()) {
            QLabel::paintEvent(event);
            return;
        }
        QFrame::paintEvent(event);
        QPainter painter(this);
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, room.width());
        style()->drawItemText(&painter, room, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
                              isEnabled(), shown, foregroundRole());
    }
};
