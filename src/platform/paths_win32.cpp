#include "platform/paths.h"

#include <windows.h>

namespace platform {

namespace {

std::string narrow(const std::wstring& wide, UINT codePage) {
    if (wide.empty())
        return {};
    const int length = static_cast<int>(wide.size());
    // No best fit: a folder "Łukasz" must not be shown as another folder, "Lukasz".
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int size =
        WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), length, &text[0], size, nullptr, nullptr);
    return text;
}

} // namespace

Path executablePath() {
    wchar_t wide[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH);
    // A full buffer means the path was cut short; a cut path would name the wrong directory.
    if (n == 0 || n >= MAX_PATH)
        return {};
    return Path(std::wstring(wide, n));
}

Path executableDirectory() {
    return executablePath().parent_path();
}

std::string utf8Path(const Path& path) {
    return narrow(path.native(), CP_UTF8);
}

// Without a console (output to a file or a pipe) the ANSI code page is what readers expect.
std::string consolePath(const Path& path) {
    const UINT codePage = GetConsoleOutputCP();
    return narrow(path.native(), codePage != 0 ? codePage : CP_ACP);
}

} // namespace platform
