// Wakes the bridge's loop out of its wait on sockets, from any thread.
#pragma once

#include "platform/socket.h"

#include <mutex>

namespace platform {

// A loopback datagram socket of the loop's own: wake() sends it a byte, so that the socket turns
// readable and the loop's wait ends. Works the same with select on every platform.
class LoopWaker {
public:
    LoopWaker() = default;
    LoopWaker(const LoopWaker&) = delete;
    LoopWaker& operator=(const LoopWaker&) = delete;

    // Needs the network started (netStartup). False when the socket could not be set up.
    bool open();
    void close();

    // Safe from any thread, also before open() and after close() (then it does nothing).
    void wake();

    // The socket to wait on; drain() takes what woke it.
    NativeSocket socket() const;
    void drain();

private:
    mutable std::mutex mutex_;
    Socket socket_;
    Address self_;
};

} // namespace platform
