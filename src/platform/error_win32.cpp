#include "platform/error.h"

#include <windows.h>

namespace platform {

unsigned long lastSystemError() {
    return GetLastError();
}

} // namespace platform
