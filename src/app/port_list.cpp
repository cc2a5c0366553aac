// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/port_list.h"

#include <QApplication>
#include <QPainter>

namespace {

constexpr int kGap = 24;

} // namespace

void PortItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString description = index.data(kPortDescriptionRole).toString();
    const QString path = opt.text;
    opt.text.clear();
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const QRect area = opt.rect.adjusted(4, 0, -4, 0);
    const bool selected = opt.state & QStyle::State_Selected;
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter, path);
    if (!description.isEmpty()) {
        const int x = opt.fontMetrics.horizontalAdvance(path) + kGap;
        painter->setPen(opt.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
        painter->drawText(area.adjusted(x, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, description);
    }
    painter->restore();
}

QSize PortItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const QString description = index.data(kPortDescriptionRole).toString();
    if (!description.isEmpty())
        size.rwidth() += option.fontMetrics.horizontalAdvance(description) + kGap + 8;
    return size;
}
