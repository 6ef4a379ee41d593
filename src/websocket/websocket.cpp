#include "websocket/websocket.h"

#include "diag/log.h"
#include "platform/socket.h"
#include "websocket/frame_codec.h"
#include "websocket/handshake.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>

namespace wsclient {
namespace {

// A LAN server answers in milliseconds; one that accepts and stays silent must not hold the
// bridge (and the spot datagrams waiting behind it) for longer than this.
constexpr int kConnectTimeLimitMs = 2000;
constexpr std::size_t kReceiveChunk = 1500;
// One poll stops reading once a whole maximal frame could be buffered; dispatch then decides.
constexpr std::size_t kReceiveHighWater = kMaxMessageBytes + 14;
// Frames waiting for a peer that does not read are held up to the size of one message.
constexpr std::size_t kMaxPendingSendBytes = kMaxMessageBytes;

// The client's failure lines go to standard error as they always did, and are ERROR records
// too, so that a service's log says why the SDR cannot be reached. The console has the line
// already, so the record leaves it out. peerText (a reply from the server) follows the line as
// received on the console; in the record it is shown with control characters as \xNN and
// without its line end.
void writeError(const char* function, int line, const std::string& text,
                std::string_view peerText = {}) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    if (!peerText.empty())
        std::fwrite(peerText.data(), 1, peerText.size(), stderr);
    std::fflush(stderr);
    if (!tlog::enabled(tlog::Severity::error))
        return;
    const auto withoutLineEnd = [](std::string_view t) {
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
            t.remove_suffix(1);
        return t;
    };
    std::string record(peerText.empty() ? withoutLineEnd(text) : std::string_view(text));
    record += tlog::escapeControls(withoutLineEnd(peerText));
    tlog::write(tlog::Severity::error, function, line, record, tlog::Except::console);
}

// Each line is written with the function and source line that wrote it.
#define WRITE_ERROR(function, ...) writeError(function, __LINE__, __VA_ARGS__)

class Deadline {
public:
    explicit Deadline(int limitMs)
        : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)) {}

    // Whole milliseconds left, rounded up so that a wait never ends just short of the limit.
    int remainingMs() const {
        const auto left = end_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

private:
    std::chrono::steady_clock::time_point end_;
};

enum class Outcome { done, closed, timedOut };

// Connects a non-blocking socket within the deadline.
Outcome connectWithin(platform::NativeSocket s, const platform::Address& address,
                      const Deadline& deadline) {
    platform::setNonBlocking(s, true);
    if (platform::connectTo(s, address) == 0)
        return Outcome::done;
    if (!platform::isWouldBlock(platform::lastSocketError()))
        return Outcome::closed;
    for (;;) {
        const int left = deadline.remainingMs();
        if (left <= 0)
            return Outcome::timedOut;
        if (platform::waitSocket(s, false, true, left) > 0)
            return platform::pendingSocketError(s) == 0 ? Outcome::done : Outcome::closed;
    }
}

// Resolves and connects, trying each address in turn. The socket comes back non-blocking.
platform::Socket connectTcp(const std::string& host, int port, bool& timedOut) {
    timedOut = false;
    std::vector<platform::ResolvedAddress> addresses;
    const int rc = platform::resolve(host, std::to_string(port), platform::Family::any,
                                     platform::Kind::stream, addresses);
    if (rc != 0) {
        WRITE_ERROR("wsclient::connectTcp",
                    "getaddrinfo: " + platform::resolveErrorText(rc) + "\n");
        return {};
    }
    const Deadline deadline(kConnectTimeLimitMs);
    for (const auto& entry : addresses) {
        platform::Socket s = platform::openSocket(entry.family, entry.socktype, entry.protocol);
        if (!s.valid())
            continue;
        const Outcome outcome = connectWithin(s.get(), entry.address, deadline);
        if (outcome == Outcome::done)
            return s;
        if (outcome == Outcome::timedOut) {
            timedOut = true;
            break;
        }
    }
    return {};
}

Outcome sendAll(platform::NativeSocket s, const std::string& data, const Deadline& deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const long n = platform::sendSome(s, data.data() + sent, data.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && !platform::isWouldBlock(platform::lastSocketError()))
            return Outcome::closed;
        const int left = deadline.remainingMs();
        if (left <= 0)
            return Outcome::timedOut;
        platform::waitSocket(s, false, true, left);
    }
    return Outcome::done;
}

// One byte of the reply. A receive error counts as the server closing.
Outcome receiveByte(platform::NativeSocket s, char& byte, const Deadline& deadline) {
    for (;;) {
        const int left = deadline.remainingMs();
        if (left <= 0)
            return Outcome::timedOut;
        if (platform::waitSocket(s, true, false, left) <= 0)
            continue;
        const long n = platform::receiveSome(s, &byte, 1);
        if (n == 1)
            return Outcome::done;
        if (n < 0 && platform::isWouldBlock(platform::lastSocketError()))
            continue;
        return Outcome::closed;
    }
}

class CallbackAdapter : public BytesCallback_Imp {
public:
    explicit CallbackAdapter(Callback_Imp& callable) : callable_(callable) {}
    void operator()(const std::vector<std::uint8_t>& message) override {
        const std::string text(message.begin(), message.end());
        callable_(text);
    }

private:
    Callback_Imp& callable_;
};

class _RealWebSocket final : public WebSocket {
public:
    _RealWebSocket(platform::Socket socket, bool useMask)
        : socketHandle(std::move(socket)), maskOutgoing(useMask) {}

    // Leaves queued frames unwritten; the socket closes with its owner.
    ~_RealWebSocket() override = default;

    void poll(int timeout) override {
        if (state == ReadyState::CLOSED)
            return;
        const platform::NativeSocket s = socketHandle.get();
        if (timeout != 0)
            platform::waitSocket(s, true, bufferedAmount() > 0, timeout < 0 ? -1 : timeout);

        while (rxBuffer.size() < kReceiveHighWater) {
            const std::size_t old = rxBuffer.size();
            rxBuffer.resize(old + kReceiveChunk);
            const long n = platform::receiveSome(s, rxBuffer.data() + old, kReceiveChunk);
            const int error = n < 0 ? platform::lastSocketError() : 0;
            rxBuffer.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
            if (n > 0)
                continue;
            if (n < 0 && platform::isWouldBlock(error))
                break;
            connectionLost(__LINE__, n == 0 ? "Connection closed!\n" : "Connection error!\n");
            return;
        }

        flush();
    }

    void flush() override {
        if (state == ReadyState::CLOSED)
            return;
        const platform::NativeSocket s = socketHandle.get();
        while (bufferedAmount() > 0) {
            const long n =
                platform::sendSome(s, txBuffer.data() + txOffset, txBuffer.size() - txOffset);
            if (n < 0 && platform::isWouldBlock(platform::lastSocketError()))
                break;
            if (n <= 0) {
                connectionLost(__LINE__, n == 0 ? "Connection closed!\n" : "Connection error!\n");
                return;
            }
            markSent(txBuffer, txOffset, static_cast<std::size_t>(n));
        }

        if (bufferedAmount() == 0 && state == ReadyState::CLOSING) {
            socketHandle.close();
            state = ReadyState::CLOSED;
        }
    }

    void sendText(const std::string& message) override {
        queueFrame(Opcode::text, reinterpret_cast<const std::uint8_t*>(message.data()),
                   message.size());
    }

    void sendBinary(const std::vector<std::uint8_t>& message) override {
        queueFrame(Opcode::binary, message.data(), message.size());
    }

    void sendBinary(const std::string& message) override {
        queueFrame(Opcode::binary, reinterpret_cast<const std::uint8_t*>(message.data()),
                   message.size());
    }

    void sendPing() override { queueFrame(Opcode::ping, nullptr, 0); }

    void close() override {
        if (state == ReadyState::CLOSING || state == ReadyState::CLOSED)
            return;
        state = ReadyState::CLOSING;
        txBuffer.insert(txBuffer.end(), kCloseFrame.begin(), kCloseFrame.end());
    }

    ReadyState readyState() const override { return state; }

    std::size_t bufferedAmount() const override { return txBuffer.size() - txOffset; }
    std::uint64_t framesReceived() const override { return framesReceived_; }
    std::uint64_t pongsReceived() const override { return pongsReceived_; }

    platform::NativeSocket nativeSocket() const override {
        return state == ReadyState::CLOSED ? platform::kInvalidSocket : socketHandle.get();
    }

    void _dispatch(Callback_Imp& callable) override {
        CallbackAdapter adapter(callable);
        _dispatchBinary(adapter);
    }

    void _dispatchBinary(BytesCallback_Imp& callable) override {
        if (dropped)
            return;
        Events events(*this, callable);
        walking = true;
        const ConsumeResult result = consumeFrames(rxBuffer, messageBuffer, events);
        walking = false;
        framesReceived_ += result.frames;
        if (dropped) {
            drop(nullptr, 0, nullptr); // during the walk; now the received bytes can go too
        } else if (result.tooLarge || result.controlTooLong) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "ERROR: WebSocket %s of %" PRIu64 " bytes%s; connection dropped.\n",
                          result.tooLarge ? "message" : "control frame", result.claimedBytes,
                          result.tooLarge ? " exceeds the 16 MiB limit" : "");
            drop("wsclient::_RealWebSocket::_dispatchBinary", __LINE__, line);
        }
    }

private:
    // What the frame walk reports, carried out on this client.
    class Events final : public FrameSink {
    public:
        Events(_RealWebSocket& client, BytesCallback_Imp& callable)
            : client_(client), callable_(callable) {}
        void onMessage(const std::vector<std::uint8_t>& message) override { callable_(message); }
        void onPing(const std::uint8_t* payload, std::size_t size) override {
            client_.queueFrame(Opcode::pong, payload, size);
        }
        void onPong(const std::uint8_t*, std::size_t) override { ++client_.pongsReceived_; }
        void onClose() override { client_.close(); }
        void onUnexpected(std::uint8_t /*opcode*/) override {
            WRITE_ERROR("wsclient::_RealWebSocket::_dispatchBinary",
                        "ERROR: Got unexpected WebSocket message.\n");
            client_.close();
        }
        bool halted() const override { return client_.dropped; }

    private:
        _RealWebSocket& client_;
        BytesCallback_Imp& callable_;
    };

    void queueFrame(Opcode opcode, const std::uint8_t* payload, std::size_t size) {
        if (state == ReadyState::CLOSING || state == ReadyState::CLOSED)
            return;
        // A peer that sends but never reads would otherwise make the queue grow without end.
        if (size > kMaxPendingSendBytes ||
            bufferedAmount() + frameHeaderLength(size, maskOutgoing) + size >
                kMaxPendingSendBytes) {
            drop("wsclient::_RealWebSocket::queueFrame", __LINE__,
                 "ERROR: WebSocket send queue exceeds the 16 MiB limit; connection dropped.\n");
            return;
        }
        encodeFrame(txBuffer, static_cast<std::uint8_t>(opcode), payload, size, maskOutgoing,
                    kMaskingKey);
    }

    void connectionLost(int line, const char* text) {
        socketHandle.close();
        state = ReadyState::CLOSED;
        writeError("wsclient::_RealWebSocket::poll", line, text);
    }

    // Gives up on a peer that is not speaking TCI: nothing more is read, sent or delivered.
    // Within a frame walk the received bytes stay until the walk has stopped.
    void drop(const char* function, int line, const char* text) {
        if (text != nullptr)
            writeError(function, line, text);
        socketHandle.close();
        state = ReadyState::CLOSED;
        dropped = true;
        std::vector<std::uint8_t>().swap(txBuffer);
        txOffset = 0;
        if (!walking) {
            std::vector<std::uint8_t>().swap(rxBuffer);
            std::vector<std::uint8_t>().swap(messageBuffer);
        }
    }

    std::vector<std::uint8_t> rxBuffer;
    std::vector<std::uint8_t> txBuffer;
    std::size_t txOffset = 0; // txBuffer before it has been sent
    std::vector<std::uint8_t> messageBuffer;
    platform::Socket socketHandle;
    ReadyState state = ReadyState::OPEN;
    bool maskOutgoing = true;
    std::uint64_t framesReceived_ = 0;
    std::uint64_t pongsReceived_ = 0;
    bool walking = false; // inside consumeFrames, which holds on to rxBuffer
    bool dropped = false;
};

} // namespace

std::unique_ptr<WebSocket> WebSocket::connectUrl(const std::string& url,
                                                 const std::string& origin) {
    static constexpr const char* kConnectUrl = "wsclient::WebSocket::connectUrl";
    if (url.size() > kMaxUrlLength) {
        WRITE_ERROR(kConnectUrl, "ERROR: url size limit exceeded: " + url + "\n");
        return nullptr;
    }
    if (origin.size() > kMaxOriginLength) {
        WRITE_ERROR(kConnectUrl, "ERROR: origin size limit exceeded: " + origin + "\n");
        return nullptr;
    }
    WebSocketUrl target;
    if (!parseWebSocketUrl(url, target)) {
        WRITE_ERROR(kConnectUrl, "ERROR: Could not parse WebSocket url: " + url + "\n");
        return nullptr;
    }

    bool timedOut = false;
    platform::Socket socket = connectTcp(target.host, target.port, timedOut);
    const std::string hostPort = target.host + ":" + std::to_string(target.port);
    if (!socket.valid()) {
        if (timedOut)
            WRITE_ERROR(kConnectUrl, "ERROR: Timed out connecting to " + hostPort + "\n");
        else
            WRITE_ERROR(kConnectUrl, "Unable to connect to " + hostPort + "\n");
        return nullptr;
    }
    const platform::NativeSocket s = socket.get();

    // The whole handshake shares one time limit; the socket closes on every early return.
    const Deadline deadline(kConnectTimeLimitMs);
    const std::string timeoutLine =
        "ERROR: Timed out waiting for the WebSocket handshake from " + url + "\n";
    for (const std::string& line : upgradeRequestLines(target, origin)) {
        if (sendAll(s, line, deadline) == Outcome::timedOut) {
            WRITE_ERROR(kConnectUrl, timeoutLine);
            return nullptr;
        }
    }

    // One byte per receive, so that nothing behind the blank line (the first frames) is taken.
    HandshakeReplyReader reply;
    for (;;) {
        char byte = 0;
        const Outcome outcome = receiveByte(s, byte, deadline);
        if (outcome == Outcome::timedOut)
            WRITE_ERROR(kConnectUrl, timeoutLine);
        if (outcome != Outcome::done)
            return nullptr;
        const HandshakeReplyReader::Step step = reply.feed(byte);
        if (step == HandshakeReplyReader::Step::headersEnded)
            break;
        if (step == HandshakeReplyReader::Step::invalidStatusLine) {
            WRITE_ERROR(kConnectUrl, "ERROR: Got invalid status line connecting to: " + url + "\n");
            return nullptr;
        }
        int status = 0;
        if (step == HandshakeReplyReader::Step::statusLine &&
            (!parseStatusCode(reply.statusLine(), status) || status != 101)) {
            WRITE_ERROR(kConnectUrl, "ERROR: Got bad status connecting to " + url + ": ",
                        reply.statusLine());
            return nullptr;
        }
    }

    platform::setTcpNoDelay(s, true);
    platform::setNonBlocking(s, true);
    return std::make_unique<_RealWebSocket>(std::move(socket), true);
}

} // namespace wsclient
