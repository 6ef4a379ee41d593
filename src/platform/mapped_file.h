// A file mapped into memory and shared with the system's cache: bytes copied into it belong to
// the file at once, so that a process killed right after loses none of them, and no call waits
// for the disk; sync() pushes them to the disk, for a power cut.
#pragma once

#include "platform/files.h"

#include <cstddef>
#include <cstdint>

namespace platform {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the first size bytes of the file, which is made at least that long, its room taken on
    // the disk now, so that a full disk is an error here rather than a crash at a later copy.
    // create makes a new, empty file: a file of that name already there is an error, never
    // emptied under whoever maps it, and a file made here that cannot be mapped is removed
    // again. Once per object.
    FileError open(const Path& path, std::size_t size, bool create);

    char* data() const { return data_; }
    std::size_t size() const { return size_; }

    // Pushes what was copied in through to the disk; another thread may go on copying meanwhile.
    FileError sync() const;

    // Tests only: called at the start of every open(), on the thread that opens, so that a test
    // can make the files hang as a stalled network folder does, and see who opens them.
    using OpenHook = void (*)(const Path& path);
    static void setOpenHookForTesting(OpenHook hook);

private:
    static void beforeOpen(const Path& path);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::intptr_t file_ = -1;
    std::intptr_t mapping_ = 0; // Windows only: the file mapping object
};

} // namespace platform
