// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Naming of COM ports, shared by the Windows backend, port listing and the
// busy-port message.

#include <string>

namespace merovan::detail {

// "COM5" for "com5", "COM5", "\\.\COM5" and "//./COM5"; any other name as
// given.
std::string canonicalPortName(const std::string& path);

// The name CreateFileA opens: "\\.\COMn", which reaches COM10 and above as
// well; names that are not COMn pass unchanged.
std::string devicePathOf(const std::string& path);

// n of a COMn name (after canonicalPortName), 0 for any other name.
unsigned comNumber(const std::string& path);

// The ports this process holds open, so that a port refused as busy can be
// told apart from one another program holds.
void noteHeldHere(const std::string& path, bool held);
bool isHeldHere(const std::string& path);

} // namespace merovan::detail
