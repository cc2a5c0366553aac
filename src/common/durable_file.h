// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace merovan {

// Writes content to tempPath, flushes it to the disk and renames it over
// path, so that path holds its old content or the new, never a part of
// either, whenever the program or the machine stops. The temporary file is
// removed on failure. False on failure, with reason saying why.
bool replaceFileContent(const std::string& path, const std::string& tempPath, std::string_view content,
                        std::string& reason);

// Flushes a stream written with stdio and the system's cache of its file to
// the disk. False on failure.
bool flushToDisk(std::FILE* file);

// Renames from to to, replacing a file already named to in one step. False
// on failure, with reason saying why.
bool renameOver(const std::string& from, const std::string& to, std::string& reason);

} // namespace merovan
