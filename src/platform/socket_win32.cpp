#include "platform/socket.h"

// winsock2.h must come before windows.h, or the old winsock.h gets in first.
#include <winsock2.h>

#include <mstcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

SOCKET sock(NativeSocket s) {
    return static_cast<SOCKET>(s);
}

const sockaddr* asSockaddr(const Address& a) {
    return reinterpret_cast<const sockaddr*>(a.bytes);
}

// Winsock counts bytes in int; larger requests are sent or read in part, as POSIX may do too.
int clampSize(std::size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

} // namespace

int lastSocketError() {
    return WSAGetLastError();
}

bool isWouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

bool isAddressInUse(int error) {
    return error == WSAEADDRINUSE;
}

std::string socketErrorText(int error) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             buffer, sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == ' ' ||
                     buffer[n - 1] == '.'))
        --n;
    if (n == 0) {
        std::snprintf(buffer, sizeof buffer, "error %d", error);
        return buffer;
    }
    return std::string(buffer, n);
}

int netStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void netCleanup() {
    WSACleanup();
}

std::string resolveErrorText(int code) {
    return socketErrorText(code);
}

void Socket::close() noexcept {
    if (handle_ != kInvalidSocket) {
        closesocket(sock(handle_));
        handle_ = kInvalidSocket;
    }
}

Socket openSocket(int family, int socktype, int protocol) {
    SOCKET s = WSASocketW(family, socktype, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return Socket();
    if (socktype == SOCK_DGRAM) {
        // Without this, an ICMP "port unreachable" caused by an earlier sendto makes the next
        // recvfrom fail with WSAECONNRESET, which POSIX never reports for datagrams.
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                 nullptr);
    }
    return Socket(static_cast<NativeSocket>(s));
}

Socket openUdp4() {
    return openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}
Socket openTcp4() {
    return openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

bool setNonBlocking(NativeSocket s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(sock(s), FIONBIO, &mode) == 0;
}

bool setTcpNoDelay(NativeSocket s, bool on) {
    BOOL v = on ? TRUE : FALSE;
    return setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v),
                      sizeof v) == 0;
}

bool setReuseAddress(NativeSocket s, bool on) {
    BOOL v = on ? TRUE : FALSE;
    return setsockopt(sock(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&v),
                      sizeof v) == 0;
}

bool setReceiveTimeout(NativeSocket s, long seconds, long microseconds) {
    // Winsock takes the timeout as a DWORD of milliseconds, not a timeval.
    DWORD ms = static_cast<DWORD>(seconds) * 1000u + static_cast<DWORD>(microseconds / 1000);
    return setsockopt(sock(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                      sizeof ms) == 0;
}

bool setReceiveBufferSize(NativeSocket s, int bytes) {
    return setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

int bindTo(NativeSocket s, const Address& address) {
    return bind(sock(s), asSockaddr(address), address.length) == 0 ? 0 : -1;
}

int connectTo(NativeSocket s, const Address& address) {
    return connect(sock(s), asSockaddr(address), address.length) == 0 ? 0 : -1;
}

int listenOn(NativeSocket s, int backlog) {
    return listen(sock(s), backlog) == 0 ? 0 : -1;
}

Socket acceptFrom(NativeSocket s) {
    SOCKET c = accept(sock(s), nullptr, nullptr);
    return c == INVALID_SOCKET ? Socket() : Socket(static_cast<NativeSocket>(c));
}

std::uint16_t localPort(NativeSocket s) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getsockname(sock(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

long sendSome(NativeSocket s, const void* data, std::size_t size) {
    return send(sock(s), static_cast<const char*>(data), clampSize(size), 0);
}

long receiveSome(NativeSocket s, void* data, std::size_t size) {
    return recv(sock(s), static_cast<char*>(data), clampSize(size), 0);
}

long sendTo(NativeSocket s, const void* data, std::size_t size, const Address& to) {
    return sendto(sock(s), static_cast<const char*>(data), clampSize(size), 0, asSockaddr(to),
                  to.length);
}

long receiveFrom(NativeSocket s, void* data, std::size_t size) {
    sockaddr_storage from{};
    int len = sizeof from;
    return recvfrom(sock(s), static_cast<char*>(data), clampSize(size), 0,
                    reinterpret_cast<sockaddr*>(&from), &len);
}

int waitSocket(NativeSocket s, bool readable, bool writable, int timeoutMs) {
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    if (readable)
        FD_SET(sock(s), &readSet);
    if (writable) {
        FD_SET(sock(s), &writeSet);
        // A failed non-blocking connect shows in the except set on Windows, where POSIX
        // reports it as writable.
        FD_SET(sock(s), &errorSet);
    }
    timeval tv{};
    timeval* limit = nullptr;
    if (timeoutMs >= 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        limit = &tv;
    }
    return select(0, readable ? &readSet : nullptr, writable ? &writeSet : nullptr,
                  writable ? &errorSet : nullptr, limit);
}

int waitSockets(const WaitFor* sockets, std::size_t count, int timeoutMs) {
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    for (std::size_t i = 0; i < count && readSet.fd_count < FD_SETSIZE; ++i) {
        if (sockets[i].socket == kInvalidSocket)
            continue;
        FD_SET(sock(sockets[i].socket), &readSet);
        if (sockets[i].writable) {
            FD_SET(sock(sockets[i].socket), &writeSet);
            // A connection being made that fails shows here, not as writable.
            FD_SET(sock(sockets[i].socket), &errorSet);
        }
    }
    // Winsock refuses a select without sockets at once instead of waiting.
    if (readSet.fd_count == 0) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return 0;
    }
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return select(0, &readSet, writeSet.fd_count > 0 ? &writeSet : nullptr,
                  errorSet.fd_count > 0 ? &errorSet : nullptr, &tv);
}

bool enableKeepAlive(NativeSocket s, int idleSeconds, int intervalSeconds, int probes) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000u;
    values.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000u;
    DWORD returned = 0;
    if (WSAIoctl(sock(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                 nullptr, nullptr) != 0)
        return false;
    // Windows 10 1703 and later take the probe count; older systems probe ten times.
    constexpr int kTcpKeepCount = 16;
    setsockopt(sock(s), IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&probes),
               sizeof probes);
    // Bounds the retransmissions of data that is never acknowledged, in seconds.
    constexpr int kTcpMaxRetransmitTime = 5;
    const DWORD maxRetransmit = static_cast<DWORD>(idleSeconds + intervalSeconds * probes);
    setsockopt(sock(s), IPPROTO_TCP, kTcpMaxRetransmitTime,
               reinterpret_cast<const char*>(&maxRetransmit), sizeof maxRetransmit);
    return true;
}

int pendingSocketError(NativeSocket s) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return WSAGetLastError();
    return error;
}

} // namespace platform
