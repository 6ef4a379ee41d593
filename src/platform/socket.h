// Sockets as the bridge uses them: Winsock on Windows, BSD sockets on POSIX.
// Results follow the BSD convention (-1 on failure, the code in lastSocketError()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// SOCKET is an unsigned pointer-sized integer on Windows; INVALID_SOCKET is all ones.
using NativeSocket = std::intptr_t;
inline constexpr NativeSocket kInvalidSocket = -1;

enum class Family { any, ipv4 };
enum class Kind { stream, datagram };

// The last socket error of the calling thread: WSAGetLastError() or errno.
int lastSocketError();
// True for "would block" and "in progress": the call may succeed later.
bool isWouldBlock(int error);
// True for "address already in use".
bool isAddressInUse(int error);
// Readable text for a socket error code.
std::string socketErrorText(int error);

// WSAStartup(2.2) / WSACleanup on Windows; nothing to do on POSIX. Returns 0 or the error code.
int netStartup();
void netCleanup();

// An address as the system stores it: a zeroed 128-byte store and its used length.
struct Address {
    alignas(8) unsigned char bytes[128] = {};
    int length = 0;
};

Address ipv4Address(std::uint32_t hostOrderAddress, std::uint16_t port);
inline constexpr std::uint32_t kAnyIpv4 = 0;
inline constexpr std::uint32_t kLoopbackIpv4 = 0x7f000001;

struct ResolvedAddress {
    int family = 0; // native AF_* value, passed back to openSocket
    int socktype = 0;
    int protocol = 0;
    Address address;
};

// True for an AF_INET6 family value.
bool isIpv6Family(int family);

// getaddrinfo with the given hints. Returns 0 or the resolver's error code.
int resolve(const std::string& host, const std::string& service, Family family, Kind kind,
            std::vector<ResolvedAddress>& out);
// The system's message text for a resolver error code (gai_strerror / FormatMessage).
std::string resolveErrorText(int code);

// Move-only owner of one socket; closes it on destruction.
class Socket {
public:
    Socket() = default;
    explicit Socket(NativeSocket handle) noexcept : handle_(handle) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    NativeSocket get() const { return handle_; }
    bool valid() const { return handle_ != kInvalidSocket; }
    NativeSocket release() noexcept;
    void close() noexcept;

private:
    NativeSocket handle_ = kInvalidSocket;
};

// Opens a socket with native family/type/protocol values (as from ResolvedAddress).
Socket openSocket(int family, int socktype, int protocol);
Socket openUdp4();
Socket openTcp4();

// Option helpers; each returns false on failure (code in lastSocketError()).
bool setNonBlocking(NativeSocket s, bool on);
bool setTcpNoDelay(NativeSocket s, bool on);
bool setReuseAddress(NativeSocket s, bool on);
// SO_RCVTIMEO; only matters for blocking reads.
bool setReceiveTimeout(NativeSocket s, long seconds, long microseconds);
bool setReceiveBufferSize(NativeSocket s, int bytes);

// bind/connect/listen/accept; 0 on success, -1 on failure.
int bindTo(NativeSocket s, const Address& address);
int connectTo(NativeSocket s, const Address& address);
int listenOn(NativeSocket s, int backlog);
Socket acceptFrom(NativeSocket s);
// True when another socket already holds the UDP port on the IPv4 wildcard address, as far as a
// trial bind without SO_REUSEADDR can tell: such a bind is refused as address in use.
bool udpPortHeld(std::uint16_t port);
// Port the socket is bound to (host order), 0 on failure.
std::uint16_t localPort(NativeSocket s);

// Data transfer; byte count or -1 (code in lastSocketError()).
long sendSome(NativeSocket s, const void* data, std::size_t size);
long receiveSome(NativeSocket s, void* data, std::size_t size);
long sendTo(NativeSocket s, const void* data, std::size_t size, const Address& to);
long receiveFrom(NativeSocket s, void* data, std::size_t size);

// SO_ERROR of the socket: 0 when its non-blocking connect succeeded, otherwise the error that
// ended it (or the code of the failed query itself).
int pendingSocketError(NativeSocket s);

// select() on one socket; timeoutMs < 0 waits without limit. Returns select's result.
int waitSocket(NativeSocket s, bool readable, bool writable, int timeoutMs);

// One socket to wait for: readable, and also writable when asked, which includes a connection
// being made that succeeds or fails.
struct WaitFor {
    NativeSocket socket = kInvalidSocket;
    bool writable = false;
};

// Waits at most timeoutMs (0 or more) until one of the sockets is ready; invalid ones are
// skipped, and with none left it simply sleeps. Returns select's result (0 when it slept).
int waitSockets(const WaitFor* sockets, std::size_t count, int timeoutMs);

// Lets the system find out a peer that has gone without a word: keep-alive probes after
// idleSeconds of silence, then every intervalSeconds, the connection failing after `probes`
// unanswered ones; data that stays unacknowledged fails it after about as long. Best effort
// (TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT and TCP_USER_TIMEOUT on Linux; SIO_KEEPALIVE_VALS,
// TCP_KEEPCNT and TCP_MAXRT on Windows, where the older systems probe ten times): false when
// the keep-alive itself could not be switched on.
bool enableKeepAlive(NativeSocket s, int idleSeconds, int intervalSeconds, int probes);

} // namespace platform
