// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/recent_list.h"

#include "settings/ini_file.h"
#include "settings/stored_list.h"

#include <QComboBox>
#include <QLineEdit>

namespace recent_list {

QString fromBytes(std::string_view bytes)
{
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string toBytes(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

void updateFileHint(QComboBox* box)
{
    const int index = box->currentIndex();
    const bool isEntry = index >= 0 && box->itemText(index) == box->currentText();
    box->setToolTip(isEntry ? box->itemText(index) : QString());
}

void restore(QComboBox* box, const merovan::IniFile& ini, std::string_view section, std::string_view listKey,
             std::string_view indexKey, bool fileHint)
{
    box->clear();
    for (const std::string& entry : merovan::splitList(ini.readString(section, listKey, "")))
        box->addItem(fromBytes(entry));
    const std::int64_t index = ini.readInteger(section, indexKey, 0);
    if (index >= 0 && index < box->count()) {
        box->setCurrentIndex(static_cast<int>(index));
    } else {
        box->setCurrentIndex(-1);
        box->setEditText(QString());
    }
    if (fileHint)
        updateFileHint(box);
}

void save(const QComboBox* box, merovan::IniFile& ini, std::string_view section, std::string_view indexKey,
          std::string_view countKey, std::string_view listKey)
{
    std::vector<std::string> entries;
    for (int i = 0; i < box->count(); ++i)
        entries.push_back(toBytes(box->itemText(i)));
    // A position only counts while the shown text is that entry.
    int index = box->currentIndex();
    if (index >= 0 && box->itemText(index) != box->currentText())
        index = -1;
    ini.writeInteger(section, indexKey, index);
    ini.writeInteger(section, countKey, box->count());
    ini.writeString(section, listKey, merovan::joinList(entries));
}

void appendAndSelect(QComboBox* box, const QString& text)
{
    box->addItem(text);
    box->setCurrentIndex(box->count() - 1);
}

void clear(QComboBox* box)
{
    box->clear();
    box->setEditText(QString());
}

} // namespace recent_list
