#include "platform/socket_connect.h"

#include <cerrno>
#include <sys/socket.h>

namespace platform {

int pendingSocketError(NativeSocket s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace platform
