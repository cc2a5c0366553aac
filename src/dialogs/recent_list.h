// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <string>
#include <string_view>

class QComboBox;

namespace merovan {
class IniFile;
}

// The drop-down lists of recently used files and texts that the dialogs
// share: stored as one settings value (each entry followed by 7F) beside the
// selected position.
namespace recent_list {

// Fills box from the stored list and selects the stored position (nothing
// when it is out of range). With fileHint, the box's tooltip becomes the
// selected entry.
void restore(QComboBox* box, const merovan::IniFile& ini, std::string_view section, std::string_view listKey,
             std::string_view indexKey, bool fileHint);

// Writes the selected position, the count and the list, in that order.
void save(const QComboBox* box, merovan::IniFile& ini, std::string_view section, std::string_view indexKey,
          std::string_view countKey, std::string_view listKey);

// Appends text as a new last entry (also when it is listed already) and
// selects it.
void appendAndSelect(QComboBox* box, const QString& text);

// Empties the list and the text shown in its field.
void clear(QComboBox* box);

// A file list's tooltip shows the selected entry; it is empty while the
// shown text is not an entry (the user typed a name).
void updateFileHint(QComboBox* box);

QString fromBytes(std::string_view bytes);
std::string toBytes(const QString& text);

} // namespace recent_list
