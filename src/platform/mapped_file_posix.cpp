#include "platform/mapped_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

MappedFile::~MappedFile() {
    if (data_ != nullptr)
        ::munmap(data_, size_);
    if (file_ >= 0)
        ::close(static_cast<int>(file_));
}

FileError MappedFile::open(const Path& path, std::size_t size, bool create) {
    beforeOpen(path);
    const int descriptor =
        ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0644);
    if (descriptor < 0)
        return {"open", static_cast<unsigned long>(errno), errno == ENOENT};
    file_ = descriptor;
    FileError error;
    // A page copied into a hole that the disk has no room for would end the process (SIGBUS).
    if (const int code = ::posix_fallocate(descriptor, 0, static_cast<off_t>(size)); code != 0) {
        error = {"posix_fallocate", static_cast<unsigned long>(code)};
    } else {
        void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
        if (mapped != MAP_FAILED) {
            data_ = static_cast<char*>(mapped);
            size_ = size;
            return {};
        }
        error = {"mmap", static_cast<unsigned long>(errno)};
    }
    if (create)
        ::unlink(path.c_str());
    return error;
}

FileError MappedFile::sync() const {
    if (data_ != nullptr && ::msync(data_, size_, MS_SYNC) != 0)
        return {"msync", static_cast<unsigned long>(errno)};
    return {};
}

} // namespace platform
