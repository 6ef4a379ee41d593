#include "platform/mapped_file.h"

#include <windows.h>

namespace platform {

MappedFile::~MappedFile() {
    if (data_ != nullptr)
        UnmapViewOfFile(data_);
    if (mapping_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(mapping_));
    if (file_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(file_));
}

// The mapping makes the file as long as the view and takes its room on the disk, so that a full
// disk fails here.
FileError MappedFile::open(const Path& path, std::size_t size, bool create) {
    beforeOpen(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return {"CreateFileW", error,
                error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND};
    }
    file_ = reinterpret_cast<std::intptr_t>(file);
    const auto bytes = static_cast<std::uint64_t>(size);
    FileError error;
    HANDLE mapping =
        CreateFileMappingW(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                           static_cast<DWORD>(bytes & 0xFFFFFFFFu), nullptr);
    if (mapping == nullptr) {
        error = {"CreateFileMappingW", GetLastError()};
    } else {
        mapping_ = reinterpret_cast<std::intptr_t>(mapping);
        if (void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size)) {
            data_ = static_cast<char*>(view);
            size_ = size;
            return {};
        }
        error = {"MapViewOfFile", GetLastError()};
        CloseHandle(mapping);
        mapping_ = 0;
    }
    if (create) {
        CloseHandle(file);
        file_ = -1;
        DeleteFileW(path.c_str());
    }
    return error;
}

FileError MappedFile::sync() const {
    if (data_ == nullptr)
        return {};
    if (!FlushViewOfFile(data_, size_))
        return {"FlushViewOfFile", GetLastError()};
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(file_)))
        return {"FlushFileBuffers", GetLastError()};
    return {};
}

} // namespace platform
