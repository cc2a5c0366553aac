// SPDX-License-Identifier: GPL-3.0-or-later
// Script files: list, read, update, rename and remove on whatever a file
// holds; a file that is no script file is never written.
#include "scripts/script_store.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/merovan-fuzz-" + std::to_string(::getpid()) + ".scr";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    const merovan::StoreMessages quiet = [](const std::string&) {};
    const std::string_view original(reinterpret_cast<const char*>(data), size);
    const bool script = merovan::scriptFileProblem(original).empty();
    const auto unchanged = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {}) == original;
    };
    const auto names = merovan::readScriptNames(path);
    if (names) {
        for (const std::string& name : *names) {
            const auto text = merovan::getScriptText(path, name);
            if (text && text->size() > merovan::kMaxScriptText)
                __builtin_trap();
        }
        if (!names->empty()) {
            merovan::updateScript(path, names->front(), "new text", quiet);
            merovan::renameScript(path, names->back(), "renamed", quiet);
            merovan::removeScript(path, names->back(), quiet);
            if (!script && !unchanged())
                __builtin_trap();
        }
    }
    merovan::addScript(path, "fuzz", "x", quiet);
    if (!script && !unchanged())
        __builtin_trap();
    merovan::readScriptNames(path);
    std::remove(path.c_str());
    return 0;
}
