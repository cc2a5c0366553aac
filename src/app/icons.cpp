// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int kSize = 32;

void page(QPainter& p, const QColor& fold)
{
    QPainterPath path;
    path.moveTo(7, 3);
    path.lineTo(20, 3);
    path.lineTo(26, 9);
    path.lineTo(26, 29);
    path.lineTo(7, 29);
    path.closeSubpath();
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.setBrush(Qt::white);
    p.drawPath(path);
    p.setBrush(fold);
    p.drawPolygon(QPolygonF({ QPointF(20, 3), QPointF(20, 9), QPointF(26, 9) }));
}

void label(QPainter& p, const QRect& r, const QString& text, const QColor& color, int pixelSize)
{
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setPixelSize(pixelSize);
    f.setBold(true);
    p.setFont(f);
    p.setPen(color);
    p.drawText(r, Qt::AlignCenter, text);
}

void arc(QPainter& p, const QColor& color, int startDeg, int spanDeg)
{
    p.setPen(QPen(color, 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRect(6, 6, 20, 20), startDeg * 16, spanDeg * 16);
}

} // namespace

QIcon makeButtonIcon(ButtonIcon kind)
{
    QPixmap pm(kSize, kSize);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
    case ButtonIcon::TextFile:
        page(p, QColor(120, 170, 230));
        p.setPen(QPen(QColor(40, 80, 160), 2));
        for (int y = 12; y <= 24; y += 4)
            p.drawLine(10, y, 23, y);
        break;
    case ButtonIcon::BinaryFile:
        page(p, QColor(230, 170, 90));
        label(p, QRect(7, 9, 19, 18), QStringLiteral("01"), QColor(150, 70, 0), 11);
        break;
    case ButtonIcon::Script:
        p.setPen(QPen(QColor(40, 40, 40), 1.5));
        p.setBrush(QColor(30, 30, 30));
        p.drawRoundedRect(QRect(3, 5, 26, 22), 3, 3);
        label(p, QRect(3, 5, 26, 22), QStringLiteral(">_"), QColor(90, 230, 90), 12);
        break;
    case ButtonIcon::BootLoader:
        p.setPen(QPen(QColor(50, 50, 50), 1.5));
        p.setBrush(QColor(70, 70, 80));
        p.drawRect(QRect(8, 12, 16, 16));
        for (int x = 10; x <= 22; x += 4) {
            p.drawLine(x, 28, x, 31);
            p.drawLine(x, 9, x, 12);
        }
        p.setPen(QPen(QColor(40, 160, 40), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(16, 2, 16, 9);
        p.drawLine(12, 6, 16, 10);
        p.drawLine(20, 6, 16, 10);
        break;
    case ButtonIcon::Reset:
        arc(p, QColor(200, 120, 0), 60, 300);
        p.setBrush(QColor(200, 120, 0));
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygonF({ QPointF(18, 2), QPointF(25, 8), QPointF(17, 11) }));
        break;
    case ButtonIcon::CloseExit:
        arc(p, QColor(190, 30, 30), 120, 300);
        p.setPen(QPen(QColor(190, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(16, 3, 16, 15);
        break;
    case ButtonIcon::Connect:
        p.setPen(QPen(QColor(40, 40, 40), 2));
        p.setBrush(QColor(60, 140, 60));
        p.drawRoundedRect(QRect(4, 11, 12, 10), 2, 2);
        p.drawLine(16, 14, 21, 14);
        p.drawLine(16, 18, 21, 18);
        p.setBrush(QColor(120, 120, 120));
        p.drawRoundedRect(QRect(22, 10, 7, 12), 2, 2);
        break;
    case ButtonIcon::Refresh:
        arc(p, QColor(40, 110, 200), 30, 130);
        arc(p, QColor(40, 110, 200), 210, 130);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 110, 200));
        p.drawPolygon(QPolygonF({ QPointF(3, 11), QPointF(11, 11), QPointF(5, 17) }));
        p.drawPolygon(QPolygonF({ QPointF(29, 21), QPointF(21, 21), QPointF(27, 15) }));
        break;
    case ButtonIcon::Clear:
        p.setPen(QPen(QColor(200, 40, 40), 4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(8, 8, 24, 24);
        p.drawLine(24, 8, 8, 24);
        break;
    case ButtonIcon::Program:
        p.setPen(QPen(QColor(30, 60, 30), 1.5));
        p.setBrush(QColor(0, 128, 0));
        p.drawRoundedRect(QRect(2, 4, 28, 24), 3, 3);
        label(p, QRect(2, 4, 28, 24), QStringLiteral("[1b]"), QColor(255, 255, 0), 8);
        break;
    }
    return QIcon(pm);
}
