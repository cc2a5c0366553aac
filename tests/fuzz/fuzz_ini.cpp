// SPDX-License-Identifier: GPL-3.0-or-later
// Settings files: parse, read typed values, write and read back.
#include "settings/ini_file.h"
#include "settings/stored_list.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    merovan::IniFile ini;
    ini.parse(text);
    for (const char* section : { "COMM", "mainform", "TransferFORM" }) {
        for (const char* key : { "Port", "Font", "FileNames", "Color" }) {
            const std::string value = ini.readString(section, key, "d");
            if (value.size() > merovan::IniFile::kMaxValueLength)
                __builtin_trap();
            ini.readInteger(section, key, 4);
            merovan::splitList(value);
        }
    }
    const std::string key(text.substr(0, std::min<std::size_t>(text.size(), 12)));
    ini.writeString("Fuzz", key, text);
    ini.writeInteger("COMM", "Port", 3);
    merovan::IniFile again;
    again.parse(ini.text());
    if (again.readInteger("COMM", "Port", 0) != 3)
        __builtin_trap();
    return 0;
}
