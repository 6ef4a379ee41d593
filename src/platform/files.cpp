#include "platform/files.h"

#include <cerrno>
#include <system_error>
#include <utility>

namespace platform {

namespace {

FileError errnoFailure(const char* call) {
    // A short write without errno (it happens) still has to read as a failure.
    const int code = errno != 0 ? errno : EIO;
    return {call, static_cast<unsigned long>(code), code == ENOENT};
}

bool permissionDenied(const FileError& error) {
    return error.code == EACCES || error.code == EPERM;
}

// The old write: truncate the file and write it. Its mode, owner, access list and links stay
// as they are, since it is the same file.
// A failure once the file is open may have cut it short.
FileError writeInPlace(const Path& path, const FileFiller& fill) {
    errno = 0;
    UniqueFile file = openFile(path, "wb");
    if (!file)
        return errnoFailure("fopen");
    FileError error = fill(file.get());
    errno = 0;
    if (std::fclose(file.release()) != 0 && !error)
        error = errnoFailure("fclose");
    error.partial = static_cast<bool>(error);
    return error;
}

} // namespace

FileError writeToDisk(std::FILE* file, std::string_view data) {
    if (FileError error = writeToSystem(file, data))
        return error;
    return syncToDisk(file);
}

FileError writeToSystem(std::FILE* file, std::string_view data) {
    errno = 0;
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file) != data.size())
        return errnoFailure("fwrite");
    if (std::fflush(file) != 0)
        return errnoFailure("fflush");
    return {};
}

FileError readFileContents(const Path& path, std::string& text) {
    text.clear();
    errno = 0;
    UniqueFile file = openFile(path, "rb");
    if (!file)
        return errnoFailure("fopen");
    char buffer[16384];
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
        text.append(buffer, n);
        if (n < sizeof buffer)
            break;
    }
    if (std::ferror(file.get()))
        return errnoFailure("fread");
    return {};
}

Path linkTarget(const Path& path) {
    // The same limit as the kernel's, so that a loop of links ends.
    constexpr int kMostLinks = 40;
    Path current = path;
    for (int i = 0; i < kMostLinks; ++i) {
        std::error_code error;
        if (!std::filesystem::is_symlink(current, error))
            return current;
        const Path next = std::filesystem::read_symlink(current, error);
        if (error)
            return current;
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return current;
}

FileError replaceFileContents(const Path& path, std::string_view text, const FileWriter& write,
                              HeldFile held) {
    return replaceFileWith(
        path, [&text, &write](std::FILE* file) { return write(file, text); }, held);
}

FileError replaceFileWith(const Path& path, const FileFiller& fill, HeldFile held) {
    const Path target = linkTarget(path);
    // Renaming over a read-only file would succeed where writing to it does not: the user
    // made it read-only, so it is left alone.
    if (FileError refused = checkWritable(target))
        return refused;

    const Path temporary = temporaryPathFor(target);
    // Binary mode: the same bytes on every platform.
    errno = 0;
    UniqueFile file = openFile(temporary, "wb");
    if (!file) {
        const FileError error = errnoFailure("fopen");
        // A folder that the user may not write to, holding a file that the user may write.
        if (!permissionDenied(error))
            return error;
        const FileError inPlace = writeInPlace(target, fill);
        return inPlace.partial ? inPlace : inPlace ? error : FileError{};
    }
    keepAttributes(file.get(), target);
    FileError error = fill(file.get());
    errno = 0;
    if (std::fclose(file.release()) != 0 && !error)
        error = errnoFailure("fclose");
    if (!error)
        error = moveReplacing(temporary, target, held);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    }
    return error;
}

// Each platform closes its own kind of handle in release(); the rest is shared.
FileLock::~FileLock() {
    release();
}

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), state_(std::exchange(other.state_, State::none)),
      error_(other.error_) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, -1);
        state_ = std::exchange(other.state_, State::none);
        error_ = other.error_;
    }
    return *this;
}

} // namespace platform
