// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/dialog_parts.h"

#include <QFileDialog>
#include <QWidget>

namespace dialog_parts {

QString browseForFile(QWidget* parent, const char* filters, int& filterIndex, bool mustExist)
{
    QFileDialog dialog(parent, QString(), QString(), QString::fromLatin1(filters));
    dialog.setFileMode(mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QStringList names = dialog.nameFilters();
    if (filterIndex > 0 && filterIndex <= names.size())
        dialog.selectNameFilter(names.at(filterIndex - 1));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    filterIndex = static_cast<int>(names.indexOf(dialog.selectedNameFilter())) + 1;
    return dialog.selectedFiles().front();
}

QMargins frameAround(const QWidget& shown)
{
    const QRect inner = shown.geometry();
    const QRect outer = shown.frameGeometry();
    return { inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
             outer.bottom() - inner.bottom() };
}

QPoint clientCorner(QPoint frameCorner, const QMargins& frame)
{
    return frameCorner + QPoint(frame.left(), frame.top());
}

QPoint frameCorner(QPoint clientCorner, const QMargins& frame)
{
    return clientCorner - QPoint(frame.left(), frame.top());
}

void placeBeforeFirstShow(QWidget& dialog, const QWidget& framed)
{
    if (dialog.testAttribute(Qt::WA_WState_Created))
        return;
    const QPoint kept = dialog.pos();
    // setGeometry() places the client area, and the window is then made
    // to be placed so; the size is left for show() to fit to the contents.
    const bool resized = dialog.testAttribute(Qt::WA_Resized);
    dialog.setGeometry(QRect(clientCorner(kept, frameAround(framed)), dialog.size()));
    dialog.setAttribute(Qt::WA_Resized, resized);
}

QPoint keptCorner(const QWidget& dialog, const QWidget& framed)
{
    if (!dialog.testAttribute(Qt::WA_WState_Created))
        return dialog.pos(); // never shown: still the corner it was given
    return frameCorner(dialog.geometry().topLeft(), frameAround(framed));
}

} // namespace dialog_parts
