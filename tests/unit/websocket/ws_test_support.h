// Loopback peers and a standard-error capture for the WebSocket client tests.
#pragma once

#include "platform/clock.h"
#include "platform/socket.h"
#include "websocket/handshake.h"
#include "websocket/websocket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace wstest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Redirects file descriptor 2 to a temporary file for its lifetime. The client writes its
// failure lines to stderr; this works the same with glibc and with the Windows C runtime.
class StderrCapture {
public:
    StderrCapture() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("tarnwick_ws_stderr_" + std::to_string(::getpid()) + "_" +
                 std::to_string(counter++) + ".txt");
        std::fflush(stderr);
        saved_ = ::dup(2);
        file_ = std::fopen(path_.string().c_str(), "wb");
        if (file_ != nullptr)
            ::dup2(::fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far.
    std::string text() {
        std::fflush(stderr);
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// Server-side helpers on a blocking accepted socket; every wait is bounded.
inline bool sendAllBytes(platform::NativeSocket s, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        if (platform::waitSocket(s, false, true, 5000) <= 0)
            return false;
        const long n = platform::sendSome(s, data.data() + sent, data.size() - sent);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

inline bool sendAllBytes(platform::NativeSocket s, const Bytes& data) {
    return sendAllBytes(s, textOf(data));
}

// Reads until `terminator` has arrived (returned included), the peer closes, or 5 s pass.
inline std::string readUntil(platform::NativeSocket s, const std::string& terminator) {
    std::string got;
    char c = 0;
    while (got.size() < terminator.size() ||
           got.compare(got.size() - terminator.size(), terminator.size(), terminator) != 0) {
        if (platform::waitSocket(s, true, false, 5000) <= 0)
            break;
        if (platform::receiveSome(s, &c, 1) != 1)
            break;
        got.push_back(c);
    }
    return got;
}

// Reads exactly `count` bytes unless the peer closes or 5 s pass.
inline Bytes readBytes(platform::NativeSocket s, std::size_t count) {
    Bytes got(count);
    std::size_t have = 0;
    while (have < count) {
        if (platform::waitSocket(s, true, false, 5000) <= 0)
            break;
        const long n = platform::receiveSome(s, got.data() + have, count - have);
        if (n <= 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    got.resize(have);
    return got;
}

// Reads until the peer closes (returns what came) or 5 s of silence; `peerEnded` tells which.
inline Bytes readToEnd(platform::NativeSocket s, bool* peerEnded = nullptr) {
    Bytes got;
    std::uint8_t chunk[4096];
    if (peerEnded != nullptr)
        *peerEnded = false;
    for (;;) {
        if (platform::waitSocket(s, true, false, 5000) <= 0)
            break;
        const long n = platform::receiveSome(s, chunk, sizeof chunk);
        if (n <= 0) {
            if (peerEnded != nullptr)
                *peerEnded = true;
            break;
        }
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

// The key of an upgrade request as received, and the header and the reply that accept it.
inline std::string requestKey(const std::string& request) {
    const std::string name = "\r\nSec-WebSocket-Key: ";
    const std::size_t at = request.find(name);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + name.size();
    return request.substr(start, request.find("\r\n", start) - start);
}
inline std::string acceptLineFor(const std::string& request) {
    return "Sec-WebSocket-Accept: " + wsclient::webSocketAccept(requestKey(request)) + "\r\n";
}
// `reply` with the header that accepts `request` right behind its status line.
inline std::string accepting(const std::string& reply, const std::string& request) {
    const std::size_t afterStatus = reply.find("\r\n") + 2;
    return reply.substr(0, afterStatus) + acceptLineFor(request) + reply.substr(afterStatus);
}
inline std::string upgradeReplyFor(const std::string& request) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           acceptLineFor(request) + "\r\n";
}

// A one-connection TCP server on 127.0.0.1, port chosen by the system, running `script` on
// the accepted socket in its own thread.
class ScriptedServer {
public:
    using Script = std::function<void(platform::NativeSocket)>;

    explicit ScriptedServer(Script script) {
        platform::netStartup();
        listener_ = platform::openTcp4();
        platform::bindTo(listener_.get(), platform::ipv4Address(platform::kLoopbackIpv4, 0));
        platform::listenOn(listener_.get(), 4);
        port_ = platform::localPort(listener_.get());
        thread_ = std::thread([this, script = std::move(script)] {
            if (platform::waitSocket(listener_.get(), true, false, 10000) <= 0)
                return;
            platform::Socket peer = platform::acceptFrom(listener_.get());
            if (!peer.valid())
                return;
            platform::setNonBlocking(peer.get(), false);
            script(peer.get());
            finished_ = true;
        });
    }
    ~ScriptedServer() {
        join();
        platform::netCleanup();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& rest = "") const {
        return "ws://127.0.0.1:" + std::to_string(port_) + rest;
    }
    bool finished() const { return finished_; }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    platform::Socket listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// A steady clock that moves only when told.
class SteppedClock final : public platform::Clock {
public:
    std::int64_t steadyMillis() const override { return steady; }
    std::int64_t wallSeconds() const override { return 1780000000; }
    std::atomic<std::int64_t> steady{1000000};
};

// A port on 127.0.0.1 that drops every SYN, as a firewall in stealth mode does: a listener that
// never accepts, its one place in the accept queue taken. Linux drops what finds that queue
// full; other systems may refuse it instead.
class SilentPort {
public:
    SilentPort() {
        listener_ = platform::openTcp4();
        platform::bindTo(listener_.get(), platform::ipv4Address(platform::kLoopbackIpv4, 0));
        platform::listenOn(listener_.get(), 0);
        port_ = platform::localPort(listener_.get());
        filler_ = platform::openTcp4();
        platform::connectTo(filler_.get(), platform::ipv4Address(platform::kLoopbackIpv4, port_));
    }
    std::uint16_t port() const { return port_; }

private:
    platform::Socket listener_;
    platform::Socket filler_;
    std::uint16_t port_ = 0;
};

// A resolver that gives these loopback ports, in this order, for any name.
inline wsclient::Connector::Resolver loopbackPorts(std::vector<std::uint16_t> ports) {
    return [ports](const std::string&, const std::string&,
                   std::vector<platform::ResolvedAddress>& addresses) {
        for (const std::uint16_t port : ports)
            if (const int rc =
                    platform::resolve("127.0.0.1", std::to_string(port), platform::Family::ipv4,
                                      platform::Kind::stream, addresses);
                rc != 0)
                return rc;
        return 0;
    };
}

// Polls and dispatches until `done(messages so far)` or `limit` passes; returns the messages.
inline std::vector<Bytes> pumpUntil(wsclient::WebSocket& ws,
                                    const std::function<bool(const std::vector<Bytes>&)>& done,
                                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::vector<Bytes> got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done(got) && std::chrono::steady_clock::now() < end) {
        ws.poll(20);
        ws.dispatchBinary([&](const Bytes& message) { got.push_back(message); });
        if (ws.readyState() == wsclient::ReadyState::CLOSED)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
}

} // namespace wstest
