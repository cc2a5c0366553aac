// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

// The speed buttons' pictures, drawn here rather than shipped as files.
enum class ButtonIcon { TextFile, BinaryFile, Script, BootLoader, Reset, CloseExit, Connect, Refresh, Program, Clear };

QIcon makeButtonIcon(ButtonIcon kind);
