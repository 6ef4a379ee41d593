// Files written whole or not at all, and read whole, by paths in the platform's own form.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// UTF-16 on Windows and bytes on POSIX, from the executable's own path to every open: a folder
// name that the ANSI code page cannot spell still names the same folder.
using Path = std::filesystem::path;

// A failed file operation: the call that failed and the code it gave (errno, or GetLastError()
// for the Win32 calls). A default value means success.
struct FileError {
    const char* call = nullptr;
    unsigned long code = 0;
    bool missing = false; // the file (or its folder) is not there
    bool partial = false; // written in place and failed part-way: the file may be cut short
    explicit operator bool() const { return call != nullptr; }
};

// The reason for a failure in words, for the lines that the user reads.
std::string describe(const FileError& error);

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// fopen for a Path (_wfopen on Windows); errno tells why when it gives null.
UniqueFile openFile(const Path& path, const char* mode);

// Reads the whole file into text. A missing file is an error with missing set.
FileError readFileContents(const Path& path, std::string& text);

// Writes all of data to an open file and pushes it through to the disk.
FileError writeToDisk(std::FILE* file, std::string_view data);

// Writes all of data to an open file and hands it to the system, which keeps it when the process
// is killed; only a power cut can still lose it.
FileError writeToSystem(std::FILE* file, std::string_view data);

// Pushes what this process wrote to a file through to the disk, through a handle of its own, so
// that a thread may do it while another goes on writing.
FileError flushToDisk(const Path& path);

// What a save does when another program holds the file (Windows): a one-off save waits a moment
// for it; one that comes round again soon tries once, and its next round is the next try.
enum class HeldFile { waitAMoment, tryOnce };

// The writer that replaceFileContents uses: a seam through which tests make a write fail
// part-way, as a disk that fills up does.
using FileWriter = std::function<FileError(std::FILE* file, std::string_view data)>;
// Fills an open file with the whole new contents and pushes them through to the disk.
using FileFiller = std::function<FileError(std::FILE* file)>;

// Puts text in the place of the file at path. A symbolic link stays a link: its target is
// written. Normally a temporary file in the same folder takes the whole text and reaches the
// disk first, then replaces the file in one step, keeping its mode and owner (POSIX) or its
// access list and attributes (Windows); on any failure the file stays as it was and the
// temporary file is removed. A file that may not be written is refused. When no temporary file
// may be made in the folder but the file itself may be written, it is written in place: that
// works wherever a plain write does, but is not atomic, so a failure part-way (a full disk)
// leaves the file cut short.
FileError replaceFileContents(const Path& path, std::string_view text,
                              const FileWriter& write = writeToDisk,
                              HeldFile held = HeldFile::waitAMoment);
// The same for contents made while they are written, so that they are never held whole.
FileError replaceFileWith(const Path& path, const FileFiller& fill,
                          HeldFile held = HeldFile::waitAMoment);

// The file that a chain of symbolic links ends at (path itself when it is none).
Path linkTarget(const Path& path);

// The platform's part.
// A temporary name beside path that no other process picks.
Path temporaryPathFor(const Path& path);
// An error when the file is there and may not be written (a read-only file); success when it
// may, or when it is not there.
FileError checkWritable(const Path& path);
// Gives the new file the old one's mode and owner where the platform does not do it as part of
// the replacement (POSIX); best effort.
void keepAttributes(std::FILE* file, const Path& old);
// The flush of an open file to the disk.
FileError syncToDisk(std::FILE* file);
// The move of one file over another in one step: rename on POSIX; on Windows ReplaceFileW, which
// keeps the old file's access list and attributes, or MoveFileExW when there is no old file;
// retried for about a second while another program holds the file, when held says so.
FileError moveReplacing(const Path& from, const Path& to, HeldFile held = HeldFile::waitAMoment);

// An exclusive lock on a file, held while this object lives; the system lets go of it whenever
// the process ends, a kill included. Other programs may still read and write the file: the lock
// is advisory (flock) on POSIX, and on Windows it covers one byte far past any end of file. On
// Windows a file that the lock may make cannot be deleted while it is held; on POSIX it can, and
// a file made anew in its place is another file, with a lock of its own.
class FileLock {
public:
    enum class State { none, held, heldElsewhere, failed };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens the file (making it when create says so) and tries the lock once, without waiting.
    static FileLock tryLock(const Path& path, bool create);

    State state() const { return state_; }
    const FileError& error() const { return error_; }

private:
    void release();

    std::intptr_t handle_ = -1;
    State state_ = State::none;
    FileError error_;
};

} // namespace platform
