// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

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

} // namespace dialog_parts
