// The outcome of a non-blocking connect, read once the socket has been waited on.
#pragma once

#include "platform/socket.h"

namespace platform {

// SO_ERROR of the socket: 0 when its connect succeeded, otherwise the error that ended it
// (or the code of the failed query itself).
int pendingSocketError(NativeSocket s);

} // namespace platform
