#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

std::string temporaryPathFor(const std::string& path) {
    return path + "." + std::to_string(::getpid()) + ".tmp";
}

FileError syncToDisk(std::FILE* file) {
    if (::fsync(::fileno(file)) != 0)
        return {"fsync", static_cast<unsigned long>(errno)};
    return {};
}

FileError moveReplacing(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        return {"rename", static_cast<unsigned long>(errno)};
    // The new name must reach the disk too, or a power cut could bring the old file back.
    const std::size_t slash = to.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : to.substr(0, slash + 1);
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return {};
}

} // namespace platform
