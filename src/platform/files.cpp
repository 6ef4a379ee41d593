#include "platform/files.h"

#include <cerrno>

namespace platform {

namespace {

FileError errnoFailure(const char* call) {
    // A short write without errno (it happens) still has to read as a failure.
    return {call, errno != 0 ? static_cast<unsigned long>(errno) : static_cast<unsigned long>(EIO)};
}

} // namespace

FileError writeToDisk(std::FILE* file, std::string_view data) {
    errno = 0;
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file) != data.size())
        return errnoFailure("fwrite");
    if (std::fflush(file) != 0)
        return errnoFailure("fflush");
    return syncToDisk(file);
}

FileError replaceFileContents(const std::string& path, std::string_view text,
                              const FileWriter& write) {
    const std::string temporary = temporaryPathFor(path);
    // Binary mode: the same bytes on every platform.
    errno = 0;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
        return errnoFailure("fopen");
    FileError error = write(file, text);
    errno = 0;
    if (std::fclose(file) != 0 && !error)
        error = errnoFailure("fclose");
    if (!error)
        error = moveReplacing(temporary, path);
    if (error)
        std::remove(temporary.c_str());
    return error;
}

} // namespace platform
