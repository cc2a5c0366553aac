// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStyledItemDelegate>

// Item data of the port list besides the path (the item's text).
inline constexpr int kPortIdentityRole = Qt::UserRole + 1;
inline constexpr int kPortDescriptionRole = Qt::UserRole + 2;

// Draws each entry of the port list's drop-down as its path followed by
// what the system knows of the device, in the placeholder colour; the edit
// field keeps only the path.
class PortItemDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
