#include "platform/paths.h"

#include <windows.h>

namespace platform {

char directorySeparator() {
    return '\\';
}

std::string executablePath() {
    wchar_t wide[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH);
    // A full buffer means the path was cut short; a cut path would name the wrong directory.
    if (n == 0 || n >= MAX_PATH)
        return {};
    int size =
        WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(n), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

std::string executableDirectory() {
    std::string path = executablePath();
    std::size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

} // namespace platform
