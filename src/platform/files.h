// Files written whole or not at all.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// A failed file operation: the call that failed and the code it gave (errno, or GetLastError()
// for the Win32 calls). A default value means success.
struct FileError {
    const char* call = nullptr;
    unsigned long code = 0;
    explicit operator bool() const { return call != nullptr; }
};

// Writes all of data to an open file and pushes it through to the disk.
FileError writeToDisk(std::FILE* file, std::string_view data);

// The writer that replaceFileContents uses: a seam through which tests make a write fail
// part-way, as a disk that fills up does.
using FileWriter = std::function<FileError(std::FILE* file, std::string_view data)>;

// Puts text in the place of the file at path in one step: a temporary file in the same folder
// takes the whole text and reaches the disk first, then replaces the file. On any failure the
// file stays as it was and the temporary file is removed.
FileError replaceFileContents(const std::string& path, std::string_view text,
                              const FileWriter& write = writeToDisk);

// The platform's part. A temporary name beside path that no other process picks; the flush of
// an open file to the disk; and the move of one file over another in one step (rename on POSIX,
// MoveFileExW with replace-existing and write-through on Windows).
std::string temporaryPathFor(const std::string& path);
FileError syncToDisk(std::FILE* file);
FileError moveReplacing(const std::string& from, const std::string& to);

} // namespace platform
