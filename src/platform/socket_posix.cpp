#include "platform/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {

namespace {

int fd(NativeSocket s) {
    return static_cast<int>(s);
}

const sockaddr* asSockaddr(const Address& a) {
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

} // namespace

int lastSocketError() {
    return errno;
}

bool isWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

bool isAddressInUse(int error) {
    return error == EADDRINUSE;
}

std::string socketErrorText(int error) {
    return std::strerror(error);
}

int netStartup() {
    return 0;
}
void netCleanup() {}

std::string resolveErrorText(int code) {
    return ::gai_strerror(code);
}

void Socket::close() noexcept {
    if (handle_ != kInvalidSocket) {
        ::close(fd(handle_));
        handle_ = kInvalidSocket;
    }
}

Socket openSocket(int family, int socktype, int protocol) {
    int s = ::socket(family, socktype | SOCK_CLOEXEC, protocol);
    return Socket(s < 0 ? kInvalidSocket : static_cast<NativeSocket>(s));
}

Socket openUdp4() {
    return openSocket(AF_INET, SOCK_DGRAM, 0);
}
Socket openTcp4() {
    return openSocket(AF_INET, SOCK_STREAM, 0);
}

bool setNonBlocking(NativeSocket s, bool on) {
    int flags = ::fcntl(fd(s), F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd(s), F_SETFL, flags) == 0;
}

bool setTcpNoDelay(NativeSocket s, bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd(s), IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0;
}

bool setReuseAddress(NativeSocket s, bool on) {
    int v = on ? 1 : 0;
    return ::setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0;
}

bool setReceiveTimeout(NativeSocket s, long seconds, long microseconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    return ::setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool setReceiveBufferSize(NativeSocket s, int bytes) {
    return ::setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

int bindTo(NativeSocket s, const Address& address) {
    return ::bind(fd(s), asSockaddr(address), static_cast<socklen_t>(address.length)) == 0 ? 0 : -1;
}

int connectTo(NativeSocket s, const Address& address) {
    return ::connect(fd(s), asSockaddr(address), static_cast<socklen_t>(address.length)) == 0 ? 0
                                                                                              : -1;
}

int listenOn(NativeSocket s, int backlog) {
    return ::listen(fd(s), backlog) == 0 ? 0 : -1;
}

Socket acceptFrom(NativeSocket s) {
    int c = ::accept4(fd(s), nullptr, nullptr, SOCK_CLOEXEC);
    return Socket(c < 0 ? kInvalidSocket : static_cast<NativeSocket>(c));
}

std::uint16_t localPort(NativeSocket s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

long sendSome(NativeSocket s, const void* data, std::size_t size) {
    return static_cast<long>(::send(fd(s), data, size, MSG_NOSIGNAL));
}

long receiveSome(NativeSocket s, void* data, std::size_t size) {
    return static_cast<long>(::recv(fd(s), data, size, 0));
}

long sendTo(NativeSocket s, const void* data, std::size_t size, const Address& to) {
    return static_cast<long>(::sendto(fd(s), data, size, MSG_NOSIGNAL, asSockaddr(to),
                                      static_cast<socklen_t>(to.length)));
}

long receiveFrom(NativeSocket s, void* data, std::size_t size) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    return static_cast<long>(
        ::recvfrom(fd(s), data, size, 0, reinterpret_cast<sockaddr*>(&from), &len));
}

int waitSocket(NativeSocket s, bool readable, bool writable, int timeoutMs) {
    fd_set readSet, writeSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    if (readable)
        FD_SET(fd(s), &readSet);
    if (writable)
        FD_SET(fd(s), &writeSet);
    timeval tv{};
    timeval* limit = nullptr;
    if (timeoutMs >= 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        limit = &tv;
    }
    return ::select(fd(s) + 1, readable ? &readSet : nullptr, writable ? &writeSet : nullptr,
                    nullptr, limit);
}

int waitSockets(const WaitFor* sockets, std::size_t count, int timeoutMs) {
    fd_set readSet, writeSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    int highest = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const NativeSocket s = sockets[i].socket;
        if (s == kInvalidSocket || fd(s) >= FD_SETSIZE)
            continue;
        FD_SET(fd(s), &readSet);
        if (sockets[i].writable)
            FD_SET(fd(s), &writeSet);
        highest = std::max(highest, fd(s));
    }
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return ::select(highest + 1, highest >= 0 ? &readSet : nullptr,
                    highest >= 0 ? &writeSet : nullptr, nullptr, &tv);
}

bool enableKeepAlive(NativeSocket s, int idleSeconds, int intervalSeconds, int probes) {
    const int on = 1;
    if (::setsockopt(fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return false;
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    // Keep-alive probes only go out while nothing waits for an acknowledgement; once data does
    // (a ping into a dead link), this bounds the retransmissions that would otherwise go on for
    // a quarter of an hour.
    const unsigned int userTimeoutMs =
        static_cast<unsigned int>(idleSeconds + intervalSeconds * probes) * 1000u;
    ::setsockopt(fd(s), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    return true;
}

int pendingSocketError(NativeSocket s) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace platform
