#include "platform/paths.h"

#include <climits>
#include <unistd.h>

namespace platform {

Path executablePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return Path(std::string(buffer, static_cast<std::size_t>(n)));
}

Path executableDirectory() {
    return executablePath().parent_path();
}

// Paths are bytes here; the terminal shows them as it shows any other text.
std::string utf8Path(const Path& path) {
    return path.native();
}

std::string consolePath(const Path& path) {
    return path.native();
}

} // namespace platform
