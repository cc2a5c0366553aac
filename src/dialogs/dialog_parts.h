// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMargins>
#include <QPoint>
#include <QString>

class QObject;
class QWidget;

// Pieces every transfer dialog is built from.
namespace dialog_parts {

// Gives a control the name the handlers, the settings and the tests use.
template <typename T>
T* named(T* widget, const char* name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// The open-file box: filters separated by ";;", the last one chosen
// remembered in filterIndex (1 for the first, 0 for none yet). With
// mustExist false a new name may be typed. Empty when cancelled.
QString browseForFile(QWidget* parent, const char* filters, int& filterIndex, bool mustExist = true);

// A dialog's place is kept as the corner of its frame ("Left", "Top").
// Qt puts a window that was never shown there by its frame only if the
// window manager honours the gravity it asks for; openbox, for one, puts
// the client area there instead, and each restart then moved a dialog up
// by its title bar. So the dialog is placed, and its place read back, by
// its client area, converted with the frame around the main window, which
// is shown and framed alike: what is restored is what was saved, whatever
// the window manager does with a new window.
//
// frameAround: the frame's widths around a shown window's client area
// (none before it is framed, or without a window manager).
QMargins frameAround(const QWidget& shown);
QPoint clientCorner(QPoint frameCorner, const QMargins& frame);
QPoint frameCorner(QPoint clientCorner, const QMargins& frame);
// Before a dialog is shown for the first time: its client area goes where
// the kept frame corner (its pos()) and framed's frame put it.
void placeBeforeFirstShow(QWidget& dialog, const QWidget& framed);
// The frame corner to keep for dialog.
QPoint keptCorner(const QWidget& dialog, const QWidget& framed);

} // namespace dialog_parts
