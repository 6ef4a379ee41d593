#include "platform/socket_connect.h"

#include <winsock2.h>

namespace platform {

int pendingSocketError(NativeSocket s) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0)
        return WSAGetLastError();
    return error;
}

} // namespace platform
