// The calling thread's last system error code: GetLastError() on Windows, errno on POSIX.
#pragma once

namespace platform {

unsigned long lastSystemError();

} // namespace platform
