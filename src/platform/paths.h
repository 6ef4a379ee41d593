// Where the running executable lives, and how paths are joined on this platform.
#pragma once

#include <string>

namespace platform {

// '\\' on Windows, '/' on POSIX.
char directorySeparator();

// Full path of the running executable as a narrow string; empty on failure.
// Windows: GetModuleFileNameW (260 code units) converted to the narrow code page.
std::string executablePath();

// The executable's directory (its path with the last component removed).
std::string executableDirectory();

} // namespace platform
