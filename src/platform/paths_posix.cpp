#include "platform/paths.h"

#include <climits>
#include <unistd.h>

namespace platform {

char directorySeparator() {
    return '/';
}

std::string executablePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string executableDirectory() {
    std::string path = executablePath();
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace platform
