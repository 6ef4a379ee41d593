#include "platform/files.h"

#include <windows.h>

#include <io.h>

#include <cerrno>

namespace platform {

namespace {

// The narrow paths are in the ANSI code page, as the C runtime's fopen reads them.
std::wstring widen(const std::string& narrow) {
    const int size =
        MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &wide[0],
                            size);
    return wide;
}

} // namespace

std::string temporaryPathFor(const std::string& path) {
    return path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
}

FileError syncToDisk(std::FILE* file) {
    if (_commit(_fileno(file)) != 0)
        return {"_commit", static_cast<unsigned long>(errno)};
    return {};
}

FileError moveReplacing(const std::string& from, const std::string& to) {
    if (!MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {"MoveFileExW", GetLastError()};
    return {};
}

} // namespace platform
