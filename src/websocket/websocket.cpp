#include "websocket/websocket.h"

#include "diag/log.h"
#include "platform/error.h"
#include "platform/name_lookup.h"
#include "platform/random.h"
#include "platform/socket.h"
#include "text/utf8.h"
#include "websocket/connect_race.h"
#include "websocket/frame_codec.h"
#include "websocket/handshake.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wsclient {

// What the attempts of one connector share: the host's addresses once known, or the lookup that
// finds them. Touched only on the owner's thread.
struct Connector::Shared {
    std::string host;
    int port = 0;
    std::function<void()> wake;
    Resolver resolver;
    const platform::Clock* clock = nullptr;
    std::unique_ptr<platform::NameLookup> lookup;
    bool lookupTaken = false;   // one given up on before, taken for want of room for a new one
    bool lookupReusable = true; // see Abandoned
    // Lookups whose attempts gave up on them, oldest first, until they end by themselves. A late
    // answer serves the next attempt, but only until one of its own has answered: after that,
    // what they find may be hours old.
    struct Abandoned {
        std::unique_ptr<platform::NameLookup> lookup;
        bool reusable = true;
    };
    std::deque<Abandoned> abandoned;
    std::vector<platform::ResolvedAddress> addresses;
    bool known = false;
};

namespace {

// A LAN server answers in milliseconds; one that accepts and stays silent must not hold the
// bridge (and the spot datagrams waiting behind it) for longer than this.
constexpr int kConnectTimeLimitMs = 2000;
// After our close frame, the longest we wait for the server to answer it.
// With several tries out, the owner's loop waits on the newest one's socket alone.
constexpr std::int64_t kOtherTriesLookMs = 20;
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
    Deadline() = default;
    Deadline(const platform::Clock& clock, int limitMs)
        : clock_(&clock), end_(clock.steadyMillis() + limitMs) {}

    int remainingMs() const {
        if (clock_ == nullptr)
            return 0;
        return static_cast<int>(std::max<std::int64_t>(end_ - clock_->steadyMillis(), 0));
    }

private:
    const platform::Clock* clock_ = nullptr;
    std::int64_t end_ = 0;
};

// Receives of the handshake's reply in one step.
constexpr int kHandshakeHelpings = 16;
// A pong answers a ping of ours, or comes unasked; only the latest few can matter.
constexpr std::size_t kPongsKept = 16;

class CallbackAdapter : public BytesCallback_Imp {
public:
    explicit CallbackAdapter(Callback_Imp& callable) : callable_(callable) {}
    void operator()(const std::vector<std::uint8_t>& message, Opcode) override {
        const std::string text(message.begin(), message.end());
        callable_(text);
    }

private:
    Callback_Imp& callable_;
};

class _RealWebSocket final : public WebSocket {
public:
    // A client in CONNECTING: the upgrade request waits in the send queue from the start.
    _RealWebSocket(std::shared_ptr<Connector::Shared> connector, std::string url,
                   const std::string& request, std::string accept)
        : txBuffer(request.begin(), request.end()), clock_(*connector->clock),
          connector_(std::move(connector)), url_(std::move(url)), accept_(std::move(accept)) {
        hostPort_ = connector_->host + ":" + std::to_string(connector_->port);
    }

    // Leaves queued frames unwritten; the socket closes with its owner.
    ~_RealWebSocket() override = default;

    void poll(int timeout) override {
        if (state == ReadyState::CLOSED)
            return;
        // The poll that completes the handshake leaves what follows it to the next.
        if (state == ReadyState::CONNECTING) {
            advance(timeout);
            return;
        }
        const platform::NativeSocket s = socketHandle.get();
        if (timeout != 0) {
            int wait = timeout < 0 ? -1 : timeout;
            if (draining_)
                wait = wait < 0 ? timeLeftMs() : std::min(wait, timeLeftMs());
            platform::waitSocket(s, true, bufferedAmount() > 0, wait);
        }

        const std::size_t before = rxBuffer.size();
        while (rxBuffer.size() < kReceiveHighWater && rxBuffer.size() - before < kReceivePerPoll) {
            const std::size_t old = rxBuffer.size();
            rxBuffer.resize(old + kReceiveChunk);
            const long n = platform::receiveSome(s, rxBuffer.data() + old, kReceiveChunk);
            const int error = n < 0 ? platform::lastSocketError() : 0;
            rxBuffer.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
            if (n > 0)
                continue;
            if (n < 0 && platform::isWouldBlock(error))
                break;
            // Our close has had its answer, whichever way the server ended.
            if (draining_) {
                finishClose();
                return;
            }
            connectionLost(__LINE__, n == 0 ? "Connection closed!\n" : "Connection error!\n");
            return;
        }

        if (draining_)
            discardReceived();
        flush();
    }

    // Hands the socket as much of the queue as it takes. 1 when that went well (all sent, or the
    // socket would block); otherwise the send's own result: 0 for a closed connection, -1 for
    // an error.
    long sendQueued() {
        const platform::NativeSocket s = socketHandle.get();
        while (bufferedAmount() > 0) {
            const long n =
                platform::sendSome(s, txBuffer.data() + txOffset, txBuffer.size() - txOffset);
            if (n < 0 && platform::isWouldBlock(platform::lastSocketError()))
                break;
            if (n <= 0)
                return n;
            markSent(txBuffer, txOffset, static_cast<std::size_t>(n));
        }
        return 1;
    }

    void flush() override {
        if (state == ReadyState::CLOSED || state == ReadyState::CONNECTING)
            return;
        if (const long result = sendQueued(); result <= 0) {
            connectionLost(__LINE__, result == 0 ? "Connection closed!\n" : "Connection error!\n");
            return;
        }

        // Once our close frame has gone, the server is left to answer and to end the connection
        // first (RFC 6455). Closing while its data waits unread would reset the connection, and
        // a peer that gets a reset may lose what it has not read yet, our last commands among
        // it. The second counts from the close, so that a server that reads nothing cannot keep
        // the connection closing for good.
        if (state == ReadyState::CLOSING &&
            ((bufferedAmount() == 0 && peerClosed_) || drainDeadline_.remainingMs() == 0))
            finishClose();
    }

    // A text frame that is not UTF-8 makes every server stack drop the connection (RFC 6455),
    // and the re-send after the reconnect would carry it again: it is refused here instead.
    void sendText(const std::string& message) override {
        if (state != ReadyState::OPEN)
            return;
        if (!isUtf8(message)) {
            WRITE_ERROR("wsclient::_RealWebSocket::sendText",
                        "ERROR: WebSocket text message of " + std::to_string(message.size()) +
                            " bytes is not UTF-8; not sent.\n");
            return;
        }
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

    void sendPing(const std::string& payload) override {
        queueFrame(Opcode::ping, reinterpret_cast<const std::uint8_t*>(payload.data()),
                   std::min<std::size_t>(payload.size(), kMaxControlPayload));
    }

    void close() override {
        if (state == ReadyState::CONNECTING) {
            endAttempt();
            return;
        }
        if (state == ReadyState::CLOSING || state == ReadyState::CLOSED)
            return;
        state = ReadyState::CLOSING;
        txBuffer.insert(txBuffer.end(), kCloseFrame.begin(), kCloseFrame.end());
        draining_ = true;
        drainDeadline_ = Deadline(clock_, kCloseAnswerMs);
    }

    ReadyState readyState() const override { return state; }

    std::size_t bufferedAmount() const override { return txBuffer.size() - txOffset; }
    std::uint64_t framesReceived() const override { return framesReceived_; }
    std::vector<std::string> takePongs() override {
        std::vector<std::string> taken;
        taken.swap(pongs_);
        return taken;
    }

    platform::NativeSocket nativeSocket() const override {
        if (state == ReadyState::CONNECTING && step_ == Step::connecting && race_ &&
            !race_->pending().empty())
            return trySockets_[race_->pending().back()].get();
        return state == ReadyState::CLOSED ? platform::kInvalidSocket : socketHandle.get();
    }

    int timeLeftMs() const override {
        if (state == ReadyState::CLOSING && draining_)
            return drainDeadline_.remainingMs();
        if (state != ReadyState::CONNECTING)
            return -1;
        if (step_ == Step::connecting && race_) {
            // The loop waits on the newest try's socket alone; the others are looked at often.
            const std::int64_t now = clock_.steadyMillis();
            std::int64_t next = race_->nextStepMs();
            if (race_->pending().size() > 1)
                next = std::min(next, now + kOtherTriesLookMs);
            return static_cast<int>(std::max<std::int64_t>(next - now, 0));
        }
        return deadline_.remainingMs();
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
        void onMessage(Opcode type, const std::vector<std::uint8_t>& message) override {
            callable_(message, type);
        }
        void onPing(const std::uint8_t* payload, std::size_t size) override {
            client_.queueFrame(Opcode::pong, payload, size);
        }
        void onPong(const std::uint8_t* payload, std::size_t size) override {
            std::vector<std::string>& pongs = client_.pongs_;
            if (pongs.size() == kPongsKept)
                pongs.erase(pongs.begin());
            pongs.emplace_back(reinterpret_cast<const char*>(payload), size);
        }
        void onClose() override {
            client_.peerClosed_ = true;
            client_.close();
        }
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

    // Frames go out only on an open connection: none before the handshake, none after a close.
    void queueFrame(Opcode opcode, const std::uint8_t* payload, std::size_t size) {
        if (state != ReadyState::OPEN)
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

    // The attempt, step by step: each step goes as far as it can without waiting; then, when the
    // caller allows it, one wait for what the step waits for, and the steps again.
    void advance(int timeout) {
        progress();
        if (state != ReadyState::CONNECTING || timeout == 0)
            return;
        const int left = timeLeftMs();
        const int wait = timeout < 0 ? left : std::min(timeout, left);
        if (step_ == Step::lookingUp) {
            connector_->lookup->waitFor(wait);
        } else if (step_ == Step::connecting) {
            std::vector<platform::WaitFor> tries;
            for (const std::size_t index : race_->pending())
                tries.push_back({trySockets_[index].get(), true});
            platform::waitSockets(tries.data(), tries.size(), wait);
        } else {
            platform::waitSocket(socketHandle.get(), true, bufferedAmount() > 0, wait);
        }
        progress();
    }

    void progress() {
        bool moved = true;
        while (moved && state == ReadyState::CONNECTING) {
            switch (step_) {
            case Step::lookingUp:
                moved = lookUp();
                break;
            case Step::connecting:
                moved = connectTcp();
                break;
            case Step::handshaking:
                moved = handshake();
                break;
            }
        }
    }

    // Each of the three steps is true when it has handed over to the next.
    bool lookUp() {
        Connector::Shared& connector = *connector_;
        if (!connector.known) {
            if (!connector.lookup)
                connector.lookup = startLookup(connector);
            if (!lookupTimed_) {
                lookupTimed_ = true;
                deadline_ = Deadline(clock_, Connector::kLookupLimitMs);
            }
            if (!connector.lookup->finished())
                takeOver(connector);
            if (!connector.lookup->finished()) {
                if (deadline_.remainingMs() > 0)
                    return false;
                // Its thread ends by itself; the next attempt does not wait for it.
                connector.abandoned.push_back(
                    {std::move(connector.lookup), connector.lookupReusable});
                endAttempt(__LINE__, "ERROR: Timed out looking up " + connector.host + "\n");
                return false;
            }
            std::vector<platform::ResolvedAddress> found;
            const int rc = connector.lookup->result(found);
            connector.lookup.reset();
            if (rc != 0) {
                WRITE_ERROR("wsclient::_RealWebSocket::poll",
                            "getaddrinfo: " + platform::resolveErrorText(rc) + "\n");
                endAttempt(__LINE__, "Unable to connect to " + hostPort_ + "\n");
                return false;
            }
            connector.addresses = std::move(found);
            connector.known = true;
            for (Connector::Shared::Abandoned& old : connector.abandoned)
                old.reusable = false;
        }
        addresses_ = connector.addresses;
        step_ = Step::connecting;
        std::vector<bool> isIpv6;
        for (const platform::ResolvedAddress& entry : addresses_)
            isIpv6.push_back(platform::isIpv6Family(entry.family));
        trySockets_.clear();
        trySockets_.resize(addresses_.size());
        race_ = std::make_unique<ConnectRace>(isIpv6, clock_.steadyMillis(), kConnectTimeLimitMs);
        return true;
    }

    // A new lookup, unless several are out already: then the oldest of them, which has had the
    // longest to answer, serves instead, and the number of threads held by a resolver that hangs
    // stays bounded.
    static std::unique_ptr<platform::NameLookup> startLookup(Connector::Shared& connector) {
        auto& abandoned = connector.abandoned;
        dropStale(abandoned);
        const auto ended = std::find_if(abandoned.begin(), abandoned.end(),
                                        [](const auto& old) { return old.lookup->finished(); });
        if (ended != abandoned.end() || abandoned.size() >= Connector::kMaxLookupsOut) {
            auto taken = ended != abandoned.end() ? ended : abandoned.begin();
            std::unique_ptr<platform::NameLookup> lookup = std::move(taken->lookup);
            connector.lookupReusable = taken->reusable;
            connector.lookupTaken = true;
            abandoned.erase(taken);
            return lookup;
        }
        return newLookup(connector);
    }

    static std::unique_ptr<platform::NameLookup> newLookup(Connector::Shared& connector) {
        connector.lookupReusable = true;
        connector.lookupTaken = false;
        return std::make_unique<platform::NameLookup>(
            [resolver = connector.resolver, host = connector.host,
             service = std::to_string(connector.port)](
                std::vector<platform::ResolvedAddress>& addresses) {
                return resolver(host, service, addresses);
            },
            connector.wake);
    }

    // Lookups that ended but whose answers may no longer be used let go of their threads.
    static void dropStale(std::deque<Connector::Shared::Abandoned>& abandoned) {
        abandoned.erase(
            std::remove_if(abandoned.begin(), abandoned.end(),
                           [](const auto& old) { return !old.reusable && old.lookup->finished(); }),
            abandoned.end());
    }

    // While the attempt waits: an answer that a lookup given up on before has brought since, and
    // that may still be used, serves at once. Without one, a lookup that ended frees room, a sign
    // that the resolver answers again: an attempt that took an old lookup for want of room starts
    // one of its own instead of waiting on one that may hang.
    static void takeOver(Connector::Shared& connector) {
        auto& abandoned = connector.abandoned;
        dropStale(abandoned);
        const auto answered = std::find_if(abandoned.begin(), abandoned.end(),
                                           [](const auto& old) { return old.lookup->finished(); });
        if (answered == abandoned.end() &&
            !(connector.lookupTaken && abandoned.size() + 2 <= Connector::kMaxLookupsOut))
            return;
        Connector::Shared::Abandoned waited{std::move(connector.lookup), connector.lookupReusable};
        if (answered != abandoned.end()) {
            connector.lookup = std::move(answered->lookup);
            connector.lookupReusable = answered->reusable;
            connector.lookupTaken = true;
            abandoned.erase(answered);
        } else {
            connector.lookup = newLookup(connector);
        }
        abandoned.push_back(std::move(waited));
    }

    // The addresses race (ConnectRace), all within one time limit. Addresses that fail are
    // forgotten: the next attempt looks the name up again.
    bool connectTcp() {
        SocketDialer dialer(*this);
        switch (race_->step(dialer, clock_.steadyMillis())) {
        case ConnectRace::Result::running:
            return false;
        case ConnectRace::Result::connected:
            socketHandle = std::move(trySockets_[race_->winner()]);
            trySockets_.clear();
            race_.reset();
            return connected();
        case ConnectRace::Result::refused:
            forgetAddresses();
            endAttempt(__LINE__, "Unable to connect to " + hostPort_ + "\n");
            return false;
        case ConnectRace::Result::timedOut:
            forgetAddresses();
            endAttempt(__LINE__, "ERROR: Timed out connecting to " + hostPort_ + "\n");
            return false;
        }
        return false;
    }

    // Each try is a non-blocking socket of its own.
    class SocketDialer final : public Dialer {
    public:
        explicit SocketDialer(_RealWebSocket& client) : client_(client) {}
        Outcome start(std::size_t index) override {
            const platform::ResolvedAddress& entry = client_.addresses_[index];
            platform::Socket s = platform::openSocket(entry.family, entry.socktype, entry.protocol);
            if (!s.valid() || !platform::setNonBlocking(s.get(), true))
                return Outcome::failed;
            const bool at_once = platform::connectTo(s.get(), entry.address) == 0;
            if (!at_once && !platform::isWouldBlock(platform::lastSocketError()))
                return Outcome::failed;
            client_.trySockets_[index] = std::move(s);
            return at_once ? Outcome::connected : Outcome::pending;
        }
        Outcome check(std::size_t index) override {
            platform::Socket& s = client_.trySockets_[index];
            if (platform::waitSocket(s.get(), false, true, 0) <= 0)
                return Outcome::pending;
            if (platform::pendingSocketError(s.get()) == 0)
                return Outcome::connected;
            s.close();
            return Outcome::failed;
        }
        void abandon(std::size_t index) override { client_.trySockets_[index].close(); }

    private:
        _RealWebSocket& client_;
    };

    bool connected() {
        step_ = Step::handshaking;
        deadline_ = Deadline(clock_, kConnectTimeLimitMs);
        return true;
    }

    // Writes the request and reads the reply as it comes. What follows the reply's blank line
    // is the first frames, kept for dispatch. A server that ends the connection or fails during
    // its reply ends the attempt without a line.
    bool handshake() {
        const platform::NativeSocket s = socketHandle.get();
        if (sendQueued() <= 0) {
            endAttempt();
            return false;
        }
        // A server that streams header lines without end is read in bounded helpings, so that a
        // pass never stays here and the time limit is seen.
        char chunk[kReceiveChunk];
        for (int helping = 0; helping < kHandshakeHelpings; ++helping) {
            const long n = platform::receiveSome(s, chunk, sizeof chunk);
            if (n < 0 && platform::isWouldBlock(platform::lastSocketError()))
                break;
            if (n <= 0) {
                endAttempt();
                return false;
            }
            for (long i = 0; i < n; ++i) {
                const HandshakeReplyReader::Step step = reply_.feed(chunk[i]);
                int status = 0;
                if (step == HandshakeReplyReader::Step::statusLine &&
                    (!parseStatusCode(reply_.statusLine(), status) || status != 101)) {
                    endAttempt(__LINE__, "ERROR: Got bad status connecting to " + url_ + ": ",
                               reply_.statusLine());
                    return false;
                }
                if (step == HandshakeReplyReader::Step::invalidStatusLine) {
                    endAttempt(__LINE__,
                               "ERROR: Got invalid status line connecting to: " + url_ + "\n");
                    return false;
                }
                if (step == HandshakeReplyReader::Step::headersEnded) {
                    rxBuffer.assign(chunk + i + 1, chunk + n);
                    return accepted();
                }
            }
        }
        if (deadline_.remainingMs() == 0)
            endAttempt(__LINE__,
                       "ERROR: Timed out waiting for the WebSocket handshake from " + url_ + "\n");
        return false;
    }

    // A server that does not answer our key is not a WebSocket server that read our request
    // (a proxy's cached reply, or something else on the port).
    bool accepted() {
        if (!reply_.acceptSeen()) {
            endAttempt(__LINE__, "ERROR: Got no Sec-WebSocket-Accept connecting to " + url_ + "\n");
            return false;
        }
        if (reply_.accept() != accept_) {
            endAttempt(__LINE__, "ERROR: Got a wrong Sec-WebSocket-Accept connecting to " + url_ +
                                     ": " + tlog::escapeControls(reply_.accept()) + "\n");
            return false;
        }
        platform::setTcpNoDelay(socketHandle.get(), true);
        state = ReadyState::OPEN;
        connector_.reset();
        return false;
    }

    void forgetAddresses() {
        connector_->known = false;
        connector_->addresses.clear();
    }

    // The attempt has failed: after its line, if it has one, the client is CLOSED for good.
    void endAttempt(int line = 0, const std::string& text = std::string(),
                    std::string_view peerText = {}) {
        if (!text.empty())
            writeError("wsclient::_RealWebSocket::poll", line, text, peerText);
        socketHandle.close();
        trySockets_.clear();
        race_.reset();
        state = ReadyState::CLOSED;
        connector_.reset();
        std::vector<std::uint8_t>().swap(txBuffer);
        txOffset = 0;
    }

    void finishClose() {
        socketHandle.close();
        state = ReadyState::CLOSED;
        draining_ = false;
    }

    // What arrives after our close frame is let go, all but the close frame that answers it.
    void discardReceived() {
        class Discard final : public FrameSink {
        public:
            explicit Discard(bool& peerClosed) : peerClosed_(peerClosed) {}
            void onMessage(Opcode, const std::vector<std::uint8_t>&) override {}
            void onPing(const std::uint8_t*, std::size_t) override {}
            void onClose() override { peerClosed_ = true; }
            void onUnexpected(std::uint8_t) override {}
            bool halted() const override { return peerClosed_; }

        private:
            bool& peerClosed_;
        };
        Discard sink(peerClosed_);
        const ConsumeResult result = consumeFrames(rxBuffer, messageBuffer, sink);
        framesReceived_ += result.frames;
        if (result.tooLarge || result.controlTooLong)
            finishClose();
        if (peerClosed_ || state == ReadyState::CLOSED) {
            std::vector<std::uint8_t>().swap(rxBuffer);
            std::vector<std::uint8_t>().swap(messageBuffer.bytes);
            messageBuffer.begun = false;
        }
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
            std::vector<std::uint8_t>().swap(messageBuffer.bytes);
            messageBuffer.begun = false;
        }
    }

    std::vector<std::uint8_t> rxBuffer;
    std::vector<std::uint8_t> txBuffer;
    std::size_t txOffset = 0; // txBuffer before it has been sent
    PartialMessage messageBuffer;
    platform::Socket socketHandle;
    ReadyState state = ReadyState::CONNECTING;
    bool maskOutgoing = true;
    std::uint64_t framesReceived_ = 0;
    std::vector<std::string> pongs_;
    bool walking = false; // inside consumeFrames, which holds on to rxBuffer
    bool dropped = false;
    const platform::Clock& clock_;
    bool peerClosed_ = false; // the server's close frame has come
    bool draining_ = false;   // closing: what arrives is let go until the server's answer
    Deadline drainDeadline_;

    // While CONNECTING.
    enum class Step { lookingUp, connecting, handshaking };
    Step step_ = Step::lookingUp;
    std::shared_ptr<Connector::Shared> connector_; // released once the attempt has ended
    std::string url_;
    std::string hostPort_;
    std::string accept_; // the Sec-WebSocket-Accept that our key asks for
    std::vector<platform::ResolvedAddress> addresses_;
    std::vector<platform::Socket> trySockets_; // one per address, while its try is out
    std::unique_ptr<ConnectRace> race_;
    bool lookupTimed_ = false;
    Deadline deadline_; // of the lookup or the handshake
    HandshakeReplyReader reply_;
};

} // namespace

Connector::Connector(std::string url, std::string origin, std::function<void()> wake,
                     ConnectOptions options)
    : url_(std::move(url)), origin_(std::move(origin)), shared_(std::make_shared<Shared>()) {
    shared_->wake = std::move(wake);
    shared_->clock = options.clock != nullptr ? options.clock : &platform::systemClock();
    shared_->resolver = options.resolver;
    if (!shared_->resolver)
        shared_->resolver = [](const std::string& host, const std::string& service,
                               std::vector<platform::ResolvedAddress>& addresses) {
            return platform::resolve(host, service, platform::Family::any, platform::Kind::stream,
                                     addresses);
        };
}

// Lookups still under way go on by themselves, but wake nobody any more.
Connector::~Connector() {
    shared_->wake = nullptr;
    shared_->lookup.reset();
    shared_->abandoned.clear();
}

std::unique_ptr<WebSocket> Connector::connect() {
    static constexpr const char* kConnect = "wsclient::Connector::connect";
    if (url_.size() > kMaxUrlLength) {
        WRITE_ERROR(kConnect, "ERROR: url size limit exceeded: " + url_ + "\n");
        return nullptr;
    }
    if (origin_.size() > kMaxOriginLength) {
        WRITE_ERROR(kConnect, "ERROR: origin size limit exceeded: " + origin_ + "\n");
        return nullptr;
    }
    WebSocketUrl target;
    if (!parseWebSocketUrl(url_, target)) {
        WRITE_ERROR(kConnect, "ERROR: Could not parse WebSocket url: " + url_ + "\n");
        return nullptr;
    }
    WebSocketNonce nonce{};
    if (!platform::systemRandom(nonce.data(), nonce.size())) {
        WRITE_ERROR(kConnect, "ERROR: No random bytes for the WebSocket key (error " +
                                  std::to_string(platform::lastSystemError()) + ")\n");
        return nullptr;
    }
    shared_->host = target.host;
    shared_->port = target.port;
    const std::string key = webSocketKey(nonce);
    std::string request;
    for (const std::string& line : upgradeRequestLines(target, origin_, key))
        request += line;
    return std::make_unique<_RealWebSocket>(shared_, url_, request, webSocketAccept(key));
}

std::unique_ptr<WebSocket> WebSocket::connectUrl(const std::string& url,
                                                 const std::string& origin) {
    Connector connector(url, origin);
    std::unique_ptr<WebSocket> ws = connector.connect();
    while (ws && ws->readyState() == ReadyState::CONNECTING)
        ws->poll(-1);
    if (!ws || ws->readyState() != ReadyState::OPEN)
        return nullptr;
    return ws;
}

} // namespace wsclient
