#include "platform/waker.h"

namespace platform {

bool LoopWaker::open() {
    Socket s = openUdp4();
    if (!s.valid() || bindTo(s.get(), ipv4Address(kLoopbackIpv4, 0)) != 0)
        return false;
    const std::uint16_t port = localPort(s.get());
    if (port == 0 || !setNonBlocking(s.get(), true))
        return false;
    std::lock_guard<std::mutex> guard(mutex_);
    socket_ = std::move(s);
    self_ = ipv4Address(kLoopbackIpv4, port);
    return true;
}

void LoopWaker::close() {
    std::lock_guard<std::mutex> guard(mutex_);
    socket_.close();
}

void LoopWaker::wake() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (socket_.valid()) {
        const char byte = 'w';
        sendTo(socket_.get(), &byte, 1, self_);
    }
}

NativeSocket LoopWaker::socket() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return socket_.get();
}

void LoopWaker::drain() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!socket_.valid())
        return;
    char bytes[64];
    while (receiveFrom(socket_.get(), bytes, sizeof bytes) > 0) {
    }
}

} // namespace platform
