// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merovan {

// Named scripts kept together in one script file: each record is the name,
// 0x1F, the text, 0x1E; the byte 0x17 ends the content. An empty script file
// is the single byte 0x17. Names compare byte for byte, case-sensitive.
//
// Nothing is cached: each operation opens the file, works, and closes it.
// Messages for the user go through the StoreMessages callback (a message box
// in the window, stderr in the command line).

inline constexpr std::uint8_t kNameEnd = 0x1F;
inline constexpr std::uint8_t kTextEnd = 0x1E;
inline constexpr std::uint8_t kContentEnd = 0x17;
inline constexpr std::size_t kMaxScriptName = 259;
inline constexpr std::size_t kMaxScriptText = 1023;

using StoreMessages = std::function<void(const std::string& message)>;

// Empty when content is a script file's: records of a name (no 1F, 1E or
// 17, at most 259 bytes), 1F, a text (no 1E or 17, at most 1,023 bytes) and
// 1E, then the end marker 17 (what follows it is not content). Otherwise
// what is wrong, for the user.
std::string scriptFileProblem(std::string_view content);

// True when path can be read and holds a script file; otherwise false, with
// the reason in why.
bool isScriptFile(const std::string& path, std::string* why = nullptr);

// Offset of the named record's first byte in an open script file, or -1.
// On success the file is left at the first byte of the text.
std::int64_t findScript(std::FILE* file, std::string_view name);

// Every operation that writes checks first that the file is a script file
// (isScriptFile); one that is not is refused with a message and left
// untouched.

// Appends a record before the end marker. False, with a message, when the
// file is not a script file, the name exists already or the name or text
// breaks the format's limits; false silently when the file cannot be opened.
bool addScript(const std::string& path, std::string_view name, std::string_view text, const StoreMessages& say);

// Replaces the named script's text, keeping its place; a new name is added as
// addScript does. The file is rewritten beside itself and renamed over the
// old one in one step, so a failure at any point leaves it as it was.
// True when the file now holds the new text.
bool updateScript(const std::string& path, std::string_view name, std::string_view text, const StoreMessages& say);

// Removes the named script, rewriting the file as updateScript does. True
// when it was removed.
bool removeScript(const std::string& path, std::string_view name, const StoreMessages& say);

// Gives the script named from the name to, keeping its text and its place.
// False, with a message, when from is not in the file, to is already there
// or breaks the format's limits, or the file is not a script file.
bool renameScript(const std::string& path, std::string_view from, std::string_view to, const StoreMessages& say);

// The named script's text (at most 1,023 bytes); nullopt when the file cannot
// be opened or holds no such name.
std::optional<std::string> getScriptText(const std::string& path, std::string_view name);

// The names in file order; nullopt when the file cannot be opened.
std::optional<std::vector<std::string>> readScriptNames(const std::string& path);

// Appends ".scr" when the path has no extension (no '.', or a '.' at its
// very end). False for an empty path.
bool addDefaultExtension(std::string& path);

// Creates (or truncates) a script file holding no scripts.
bool createScriptFile(const std::string& path);

// The temporary file remove and update write: the script file's name cut
// before its first '.', then ".tmp", in the same folder.
std::string scriptTempPath(const std::string& path);

} // namespace merovan
