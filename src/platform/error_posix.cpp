#include "platform/error.h"

#include <cerrno>

namespace platform {

unsigned long lastSystemError() {
    return static_cast<unsigned long>(errno);
}

} // namespace platform
