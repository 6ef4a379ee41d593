#include "platform/files.h"

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {

namespace {

// Another program (a virus scanner, an editor, a backup) has the file open for a moment.
bool heldByAnotherProgram(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_ACCESS_DENIED;
}

bool fileExists(const Path& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string systemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string narrow;
    if (length > 0) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                             nullptr, nullptr);
        narrow.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        if (size > 0)
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &narrow[0], size,
                                nullptr, nullptr);
    }
    LocalFree(text);
    while (!narrow.empty() && (narrow.back() == '\n' || narrow.back() == '\r'))
        narrow.pop_back();
    return narrow.empty() ? "unknown error" : narrow;
}

} // namespace

std::string describe(const FileError& error) {
    // The Win32 calls end in W (FlushFileBuffers has no other form) and give GetLastError()
    // codes; the C runtime's give errno.
    const std::size_t length = std::strlen(error.call);
    bool win32 = length > 0 && error.call[length - 1] == 'W';
    for (const char* call : {"FlushFileBuffers", "LockFileEx", "FlushViewOfFile", "MapViewOfFile",
                             "SetEndOfFile", "SetFilePointerEx"})
        win32 = win32 || std::strcmp(error.call, call) == 0;
    return std::string(error.call) + " failed, error " + std::to_string(error.code) + ": " +
           (win32 ? systemMessage(static_cast<DWORD>(error.code))
                  : std::strerror(static_cast<int>(error.code)));
}

UniqueFile openFile(const Path& path, const char* mode) {
    std::wstring wideMode;
    for (const char* c = mode; *c != '\0'; ++c)
        wideMode += static_cast<wchar_t>(*c);
    return UniqueFile(_wfopen(path.c_str(), wideMode.c_str()));
}

Path temporaryPathFor(const Path& path) {
    Path temporary = path;
    temporary += L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    return temporary;
}

FileError checkWritable(const Path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return {"GetFileAttributesW", ERROR_ACCESS_DENIED};
    return {};
}

void keepAttributes(std::FILE*, const Path&) {
    // ReplaceFileW carries the access list and the attributes over.
}

FileError syncToDisk(std::FILE* file) {
    if (_commit(_fileno(file)) != 0)
        return {"_commit", static_cast<unsigned long>(errno)};
    return {};
}

// FlushFileBuffers needs a handle that may write; sharing everything leaves the writer alone.
FileError flushToDisk(const Path& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return {"CreateFileW", error,
                error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND};
    }
    FileError result;
    if (!FlushFileBuffers(file))
        result = {"FlushFileBuffers", GetLastError()};
    CloseHandle(file);
    return result;
}

FileError moveReplacing(const Path& from, const Path& to, HeldFile held) {
    // A scanner holds a new file for some tens of milliseconds; an editor may hold it for good.
    constexpr int kAttempts = 20;
    constexpr DWORD kPauseMs = 50;
    for (int attempt = 1;; ++attempt) {
        const char* call = "ReplaceFileW";
        if (fileExists(to)) {
            if (ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                             nullptr, nullptr))
                return {};
        } else {
            call = "MoveFileExW";
            if (MoveFileExW(from.c_str(), to.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return {};
        }
        const DWORD error = GetLastError();
        // The old file is already out of the way and the new one still has its temporary name:
        // the next attempt moves it into place.
        const bool halfDone = error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                              error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
        const bool waitForIt = held == HeldFile::waitAMoment && heldByAnotherProgram(error);
        if (attempt == kAttempts || !(halfDone || waitForIt))
            return {call, error};
        if (!halfDone)
            Sleep(kPauseMs);
    }
}

void FileLock::release() {
    if (handle_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

// A lock file of our own making is not shared for deletion: deleted under a running bridge, it
// could be made anew and locked by a second copy. A file that is there of its own (the
// executable) is shared for everything. The locked byte lies far past any end of file, where no
// read or write of the file ever comes.
FileLock FileLock::tryLock(const Path& path, bool create) {
    FileLock lock;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (create ? 0 : FILE_SHARE_DELETE);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr,
                              create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        lock.state_ = State::failed;
        lock.error_ = {"CreateFileW", error,
                       error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND};
        return lock;
    }
    lock.handle_ = reinterpret_cast<std::intptr_t>(file);
    OVERLAPPED beyondEnd{};
    beyondEnd.OffsetHigh = 0x7FFFFFFF;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &beyondEnd)) {
        lock.state_ = State::held;
        return lock;
    }
    const DWORD error = GetLastError();
    lock.state_ = error == ERROR_LOCK_VIOLATION ? State::heldElsewhere : State::failed;
    lock.error_ = {"LockFileEx", error};
    lock.release();
    return lock;
}

} // namespace platform
