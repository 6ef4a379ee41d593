// The TCI link's WebSocket client: single-threaded and poll-driven. The owner calls poll() and
// dispatchBinary() from its own loop; nothing happens between calls.
#pragma once

#include "platform/socket.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wsclient {

// CONNECTING is never entered: a client exists only after a successful handshake.
enum class ReadyState : std::int32_t { CLOSING = 0, CLOSED = 1, CONNECTING = 2, OPEN = 3 };

// Text message callback.
struct Callback_Imp {
    virtual void operator()(const std::string& message) = 0;

protected:
    ~Callback_Imp() = default;
};

// Byte message callback: every complete data message, text or binary, without its opcode.
struct BytesCallback_Imp {
    virtual void operator()(const std::vector<std::uint8_t>& message) = 0;

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
    virtual void sendPing() = 0;
    // Queues the close frame; the next poll writes it and closes the socket.
    virtual void close() = 0;
    virtual ReadyState readyState() const = 0;
    virtual void _dispatch(Callback_Imp& callable) = 0;
    virtual void _dispatchBinary(BytesCallback_Imp& callable) = 0;
    // Writes what it can of the queued frames without reading or waiting.
    virtual void flush() = 0;
    // Bytes queued by the send operations and not yet handed to the socket.
    virtual std::size_t bufferedAmount() const = 0;
    // Frames of every kind that dispatch has taken in, and the pongs among them: what a peer
    // sends proves it alive, whatever it is; a pong also says it has read what came before.
    virtual std::uint64_t framesReceived() const = 0;
    virtual std::uint64_t pongsReceived() const = 0;
    // The connected socket, so that its owner can wait on it among others; invalid once CLOSED.
    virtual platform::NativeSocket nativeSocket() const = 0;

    // A connected client in state OPEN, or null after one line on standard error. Blocks through
    // name resolution, the TCP connection and the handshake, the last two bounded in time.
    static std::unique_ptr<WebSocket> connectUrl(const std::string& url,
                                                 const std::string& origin = std::string());

    // Runs `callable(const std::vector<std::uint8_t>&)` once per complete message received, in
    // order. It may send or close, but must not destroy the client.
    template <class Callable> void dispatchBinary(Callable callable) {
        struct _Callback : public BytesCallback_Imp {
            Callable& callable;
            explicit _Callback(Callable& target) : callable(target) {}
            void operator()(const std::vector<std::uint8_t>& message) override {
                callable(message);
            }
        };
        _Callback callback(callable);
        _dispatchBinary(callback);
    }
};

} // namespace wsclient
