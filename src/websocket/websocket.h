// The TCI link's WebSocket client: single-threaded and poll-driven. The owner calls poll() and
// dispatchBinary() from its own loop; nothing happens between calls.
#pragma once

#include "platform/clock.h"
#include "platform/socket.h"
#include "websocket/frame_codec.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace wsclient {

// CONNECTING: the name lookup, the TCP connection or the handshake is under way; poll() moves it
// on, and it ends in OPEN or CLOSED.
enum class ReadyState : std::int32_t { CLOSING = 0, CLOSED = 1, CONNECTING = 2, OPEN = 3 };

// After close(), the longest the client waits for its close frame to leave and for the server
// to answer it before it closes the connection itself.
inline constexpr int kCloseAnswerMs = 1000;

// The most that one poll reads from the socket: a peer that sends without pause cannot hold its
// owner's loop, which serves its other sockets between polls; the next poll reads on.
inline constexpr std::size_t kReceivePerPoll = 128 * 1024;

// Text message callback.
struct Callback_Imp {
    virtual void operator()(const std::string& message) = 0;

protected:
    ~Callback_Imp() = default;
};

// Byte message callback: every complete data message and the opcode of its first frame, which
// tells text from binary.
struct BytesCallback_Imp {
    virtual void operator()(const std::vector<std::uint8_t>& message, Opcode type) = 0;

protected:
    ~BytesCallback_Imp() = default;
};

class WebSocket {
public:
    virtual ~WebSocket() = default;

    // Waits for the socket as told (0: not at all, negative: without limit), receives all that is
    // available and writes what it can of the queued frames.
    virtual void poll(int timeout) = 0;
    virtual void sendText(const std::string& message) = 0;
    virtual void sendBinary(const std::vector<std::uint8_t>& message) = 0;
    virtual void sendBinary(const std::string& message) = 0;
    // A ping carrying `payload` (at most 125 bytes), which the pong that answers it carries back.
    virtual void sendPing(const std::string& payload) = 0;
    // Queues the close frame. Once it is written, a close that answers the server's closes the
    // socket; our own waits up to a second for the server's answer or its end of the stream,
    // discarding what arrives meanwhile, then closes it.
    virtual void close() = 0;
    virtual ReadyState readyState() const = 0;
    virtual void _dispatch(Callback_Imp& callable) = 0;
    virtual void _dispatchBinary(BytesCallback_Imp& callable) = 0;
    // Writes what it can of the queued frames without reading or waiting.
    virtual void flush() = 0;
    // Bytes queued by the send operations and not yet handed to the socket.
    virtual std::size_t bufferedAmount() const = 0;
    // Frames of every kind that dispatch has taken in: what a peer sends proves it alive,
    // whatever it is.
    virtual std::uint64_t framesReceived() const = 0;
    // The payloads of the pongs that dispatch has taken in since the last call, oldest first (the
    // latest few only): a pong says that the peer has read what came before its ping.
    virtual std::vector<std::string> takePongs() = 0;
    // The socket to wait on, among others: the connected one, or the one being connected (then
    // waiting to write means waiting for the connection); invalid while the name is looked up,
    // and once CLOSED.
    virtual platform::NativeSocket nativeSocket() const = 0;
    // While CONNECTING, the milliseconds to the latest time poll() should run again: the end of
    // the step under way, or the next address's try. While CLOSING, the milliseconds left for
    // the server to answer our close frame once it has gone. -1 otherwise.
    virtual int timeLeftMs() const = 0;

    // A connected client in state OPEN, or null after one line on standard error. Blocks through
    // the same steps as Connector's clients: the name lookup, then the TCP connection and the
    // handshake, each bounded in time.
    static std::unique_ptr<WebSocket> connectUrl(const std::string& url,
                                                 const std::string& origin = std::string());

    // Runs `callable(const std::vector<std::uint8_t>& message, Opcode type)` once per complete
    // message received, in order; a callable that takes the message alone is given the message
    // alone. It may send or close, but must not destroy the client.
    template <class Callable> void dispatchBinary(Callable callable) {
        struct _Callback : public BytesCallback_Imp {
            Callable& callable;
            explicit _Callback(Callable& target) : callable(target) {}
            void operator()(const std::vector<std::uint8_t>& message, Opcode type) override {
                if constexpr (std::is_invocable_v<Callable&, const std::vector<std::uint8_t>&,
                                                  Opcode>)
                    callable(message, type);
                else
                    callable(message);
            }
        };
        _Callback callback(callable);
        _dispatchBinary(callback);
    }
};

// The resolver and the clock a Connector's attempts use: getaddrinfo and the system's steady
// clock unless told otherwise.
struct ConnectOptions {
    using Resolver = std::function<int(const std::string& host, const std::string& service,
                                       std::vector<platform::ResolvedAddress>& addresses)>;
    Resolver resolver;
    const platform::Clock* clock = nullptr;
};

// Makes the connections to one URL, one attempt at a time, without ever waiting: each client it
// gives starts in CONNECTING and is moved on by its poll(). The host's name is looked up on a
// thread of its own and its addresses are kept until a connection with them fails, so that only
// the first attempt, and the one after such a failure, wait for the resolver. A lookup that has
// not answered in 10 s fails its attempt; its thread is left to end by itself, and with a few
// of them still out, an attempt waits for the oldest instead of starting another.
class Connector {
public:
    static constexpr int kLookupLimitMs = 10000;
    static constexpr std::size_t kMaxLookupsOut = 4;

    using Resolver = ConnectOptions::Resolver;

    // `wake` is called on the lookup's thread when a lookup has ended, so that an owner waiting
    // on its sockets polls again; never once the connector is gone.
    Connector(std::string url, std::string origin, std::function<void()> wake = {},
              ConnectOptions options = {});
    ~Connector();
    Connector(const Connector&) = delete;
    Connector& operator=(const Connector&) = delete;

    // A new client in state CONNECTING with a fresh key; null after one line on standard error
    // when the URL or the origin is refused, or no random key could be had.
    std::unique_ptr<WebSocket> connect();

    struct Shared;

private:
    std::string url_;
    std::string origin_;
    std::shared_ptr<Shared> shared_;
};

} // namespace wsclient
