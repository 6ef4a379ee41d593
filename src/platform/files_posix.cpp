#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

std::string describe(const FileError& error) {
    return std::string(error.call) + " failed, error " + std::to_string(error.code) + ": " +
           std::strerror(static_cast<int>(error.code));
}

UniqueFile openFile(const Path& path, const char* mode) {
    return UniqueFile(std::fopen(path.c_str(), mode));
}

Path temporaryPathFor(const Path& path) {
    Path temporary = path;
    temporary += "." + std::to_string(::getpid()) + ".tmp";
    return temporary;
}

FileError checkWritable(const Path& path) {
    if (::access(path.c_str(), W_OK) != 0 && errno != ENOENT)
        return {"access", static_cast<unsigned long>(errno)};
    return {};
}

void keepAttributes(std::FILE* file, const Path& old) {
    struct stat status {};
    if (::stat(old.c_str(), &status) != 0)
        return; // a new file: the umask decides, as for any new file
    const int descriptor = ::fileno(file);
    ::fchmod(descriptor, status.st_mode & 07777);
    // Only root may give a file away; for anyone else the owner is already the same user.
    if (::fchown(descriptor, status.st_uid, status.st_gid) != 0)
        ::fchown(descriptor, static_cast<uid_t>(-1), status.st_gid);
}

FileError syncToDisk(std::FILE* file) {
    if (::fsync(::fileno(file)) != 0)
        return {"fsync", static_cast<unsigned long>(errno)};
    return {};
}

FileError flushToDisk(const Path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return {"open", static_cast<unsigned long>(errno), errno == ENOENT};
    FileError error;
    if (::fdatasync(descriptor) != 0)
        error = {"fdatasync", static_cast<unsigned long>(errno)};
    ::close(descriptor);
    return error;
}

// Nothing holds a file against a rename here.
FileError moveReplacing(const Path& from, const Path& to, HeldFile) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        return {"rename", static_cast<unsigned long>(errno)};
    // The new name must reach the disk too, or a power cut could bring the old file back.
    const Path folder = to.has_parent_path() ? to.parent_path() : Path(".");
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return {};
}

void FileLock::release() {
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
}

// flock, not fcntl: a lock of fcntl's would go whenever any descriptor of the file is closed,
// such as the one that a save of the same file opens and closes.
FileLock FileLock::tryLock(const Path& path, bool create) {
    FileLock lock;
    const int descriptor =
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (descriptor < 0) {
        lock.state_ = State::failed;
        lock.error_ = {"open", static_cast<unsigned long>(errno), errno == ENOENT};
        return lock;
    }
    lock.handle_ = descriptor;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        lock.state_ = State::held;
        return lock;
    }
    lock.state_ = errno == EWOULDBLOCK ? State::heldElsewhere : State::failed;
    lock.error_ = {"flock", static_cast<unsigned long>(errno)};
    lock.release();
    return lock;
}

} // namespace platform
