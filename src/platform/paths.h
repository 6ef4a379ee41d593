// Where the running executable lives, and paths shown as text.
#pragma once

#include "platform/files.h"

#include <string>

namespace platform {

// Full path of the running executable; empty on failure. Windows: GetModuleFileNameW, kept in
// UTF-16, so that any folder name survives.
Path executablePath();

// The executable's directory (its path with the last component removed).
Path executableDirectory();

// A path as UTF-8, for the log and the event log.
std::string utf8Path(const Path& path);

// A path for the console, as well as the console can show it (a character that the console's
// code page lacks becomes '?').
std::string consolePath(const Path& path);

} // namespace platform
