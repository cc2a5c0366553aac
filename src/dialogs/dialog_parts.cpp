// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/dialog_parts.h"

#include <QFileDialog>

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

} // namespace dialog_parts
