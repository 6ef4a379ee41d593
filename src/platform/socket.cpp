// The parts of the socket layer that Winsock and BSD sockets spell the same way.
#include "platform/socket.h"

#ifdef _WIN32
#include <winsock2.h>

#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace platform {

Address ipv4Address(std::uint32_t hostOrderAddress, std::uint16_t port) {
    Address a;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(hostOrderAddress);
    std::memcpy(a.bytes, &in, sizeof in);
    a.length = sizeof in;
    return a;
}

bool isIpv6Family(int family) {
    return family == AF_INET6;
}

int resolve(const std::string& host, const std::string& service, Family family, Kind kind,
            std::vector<ResolvedAddress>& out) {
    addrinfo hints{};
    hints.ai_family = family == Family::ipv4 ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = kind == Kind::stream ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0)
        return rc;
    for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
        if (p->ai_addrlen > sizeof(Address::bytes))
            continue;
        ResolvedAddress r;
        r.family = p->ai_family;
        r.socktype = p->ai_socktype;
        r.protocol = p->ai_protocol;
        std::memcpy(r.address.bytes, p->ai_addr, p->ai_addrlen);
        r.address.length = static_cast<int>(p->ai_addrlen);
        out.push_back(r);
    }
    freeaddrinfo(list);
    return 0;
}

bool udpPortHeld(std::uint16_t port) {
    Socket probe = openUdp4();
    return probe.valid() && bindTo(probe.get(), ipv4Address(kAnyIpv4, port)) != 0 &&
           isAddressInUse(lastSocketError());
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.release();
    }
    return *this;
}

NativeSocket Socket::release() noexcept {
    NativeSocket h = handle_;
    handle_ = kInvalidSocket;
    return h;
}

} // namespace platform
