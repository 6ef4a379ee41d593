#include "platform/mapped_file.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<MappedFile::OpenHook> openHook{nullptr};

} // namespace

void MappedFile::setOpenHookForTesting(OpenHook hook) {
    openHook.store(hook);
}

void MappedFile::beforeOpen(const Path& path) {
    if (const OpenHook hook = openHook.load())
        hook(path);
}

} // namespace platform
