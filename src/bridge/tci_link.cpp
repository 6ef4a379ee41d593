#include "bridge/tci_link.h"

#include "bridge/tci_message.h"
#include "diag/log.h"
#include "spots/tci_spot_commands.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

constexpr const char* kTag = "Orvex::t";
// At the bridge's stop, the longest it waits for the stop request and the close frame to leave
// and for the SDR to answer the close: the client's own wait, and a little for the commands.
constexpr std::int64_t kStopMs = wsclient::kCloseAnswerMs + 400;

std::string unsignedDecimal(std::int32_t value) {
    return std::to_string(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

} // namespace

TciLink::TciLink(const platform::Clock& clock, Connect connect, const SpotTable& table,
                 LinkDeletes& pending, Requests requests, std::string name)
    : clock_(clock), connect_(std::move(connect)), table_(table), pending_(pending),
      requests_(std::move(requests)), name_(std::move(name)) {}

TciLink::~TciLink() = default;

TciLink::Requests TciLink::iqStreamRequests(std::int32_t sampleRate,
                                            const std::vector<std::int32_t>& receivers) {
    Requests requests;
    requests.afterStart.push_back(
        {tciCommandText({"iq_samplerate", unsignedDecimal(sampleRate)}), std::string()});
    for (const std::int32_t receiver : receivers)
        requests.afterStart.push_back({tciCommandText({"iq_start", unsignedDecimal(receiver)}),
                                       tciCommandText({"iq_stop", unsignedDecimal(receiver)})});
    return requests;
}

void TciLink::begin() {
    lastAttemptEndMs_ = clock_.steadyMillis();
}

bool TciLink::connecting() const {
    return connection_ && connection_->readyState() == wsclient::ReadyState::CONNECTING;
}

bool TciLink::connected() const {
    if (!connection_)
        return false;
    const wsclient::ReadyState state = connection_->readyState();
    return state == wsclient::ReadyState::OPEN || state == wsclient::ReadyState::CLOSING;
}

bool TciLink::listening() const {
    return sdrReady_ && connection_ && connection_->readyState() == wsclient::ReadyState::OPEN;
}

platform::NativeSocket TciLink::socket() const {
    return connection_ ? connection_->nativeSocket() : platform::kInvalidSocket;
}

// An attempt's request waits to be written from the start, so its socket is waited on for the
// connection to complete.
bool TciLink::wantsToWrite() const {
    return (connecting() || connected()) && connection_->bufferedAmount() > 0;
}

std::int64_t TciLink::nextDeadline() const {
    if (connecting()) {
        // The attempt's next step is due then at the latest; a lookup that ends sooner wakes
        // the loop.
        const int left = connection_->timeLeftMs();
        return left < 0 ? std::numeric_limits<std::int64_t>::max() : clock_.steadyMillis() + left;
    }
    if (!connected())
        return lastAttemptEndMs_ + kReconnectMs;
    // Commands that this pass had no room for go out in the next, at once.
    if (listening() && !queue_.empty() && connection_->bufferedAmount() < kSendLowWater)
        return clock_.steadyMillis();
    const std::int64_t quiet = std::max(lastHeardMs_, lastPingMs_) + kQuietMs;
    // A close of ours awaits the SDR's answer for a while only.
    const int closing = connection_->timeLeftMs();
    return closing < 0 ? quiet : std::min(quiet, clock_.steadyMillis() + closing);
}

void TciLink::service(const Deliver& deliver) {
    const std::int64_t now = clock_.steadyMillis();
    passBytes_ = 0;
    if (!connecting() && !connected()) {
        if (connection_)
            connectionEnded();
        if (now - lastAttemptEndMs_ < kReconnectMs)
            return;
        attempt(now);
    }
    if (connecting()) {
        connection_->poll(0);
        if (connecting())
            return;
        // Failed or open, the attempt has ended: the next is due kReconnectMs from now.
        lastAttemptEndMs_ = now;
        if (!connected()) {
            connection_.reset();
            return;
        }
        opened(now);
    }
    if (!connected())
        return;
    connection_->poll(0);
    connection_->dispatchBinary([&deliver](const std::vector<std::uint8_t>& message,
                                           wsclient::Opcode type) { deliver(message, type); });
    if (!connected()) {
        connectionEnded();
        return;
    }
    // Pongs that came with the start have confirmed what they answer: no need to re-send it.
    noteArrivals(now);
    if (std::exchange(resyncDue_, false) && listening())
        resync();
    write();
    if (connected()) {
        pingWhenDue(now);
        connection_->flush();
    }
    if (!connected())
        connectionEnded();
}

// As much as the socket takes now: the queue waits only for the socket, never for a pass.
void TciLink::write() {
    std::size_t before = 0;
    do {
        before = queue_.size();
        pump();
        connection_->flush();
    } while (connected() && !queue_.empty() && queue_.size() != before &&
             connection_->bufferedAmount() < kSendLowWater);
}

void TciLink::attempt(std::int64_t now) {
    setReady(false);
    connection_ = connect_();
    // An attempt that ends at once, either way, ends here; one under way ends in a later pass.
    if (!connection_ || !connecting())
        lastAttemptEndMs_ = now;
    if (connected())
        opened(now);
}

void TciLink::opened(std::int64_t now) {
    // A host that loses power sends nothing; the system's probes find out what a quiet SDR
    // cannot tell us.
    platform::enableKeepAlive(connection_->nativeSocket(), kKeepAliveIdleSeconds,
                              kKeepAliveIntervalSeconds, kKeepAliveProbes);
    lastHeardMs_ = lastPingMs_ = now;
    framesSeen_ = connection_->framesReceived();
}

// Whatever was queued, sent unconfirmed or requested on the lost connection is sent again at
// the SDR's next start on a new one.
void TciLink::connectionEnded() {
    connection_.reset();
    setReady(false);
    resyncDue_ = false;
    owedAtStop_.clear();
    queue_.clear();
    pingsAwaited_.clear();
    pending_.sendingLost();
}

void TciLink::noteArrivals(std::int64_t now) {
    const std::uint64_t frames = connection_->framesReceived();
    if (frames != framesSeen_) {
        framesSeen_ = frames;
        lastHeardMs_ = now;
    }
    // A pong answers the ping whose payload it carries back, and every earlier one with it (a
    // server may answer only the latest). One that carries no payload of ours (sent unasked, or
    // answering with a word of its own) proves nothing about what the server has read.
    for (const std::string& payload : connection_->takePongs()) {
        const auto answered =
            std::find_if(pingsAwaited_.begin(), pingsAwaited_.end(),
                         [&payload](const AwaitedPing& ping) { return ping.payload == payload; });
        if (answered == pingsAwaited_.end())
            continue;
        const std::uint64_t through = answered->deletionsThrough;
        pingsAwaited_.erase(pingsAwaited_.begin(), answered + 1);
        pending_.confirmThrough(through);
    }
}

void TciLink::setReady(bool ready) {
    if (ready != sdrReady_)
        LOG_NONE(kTag, "{}>:SDR Ready:{}", name_, ready ? "true" : "false");
    sdrReady_ = ready;
}

// Every start that one pass receives asks for the same picture, so it is built once, after them
// all: a message of a million starts costs its length, not a million copies of the table.
void TciLink::sdrStarted() {
    setReady(true);
    resyncDue_ = listening();
}

void TciLink::sdrStopped() {
    setReady(false);
    resyncDue_ = false;
    queue_.clear();
}

// What the SDR should show, sent from the start: the deletions it has not been seen to hear,
// then every spot, then the requests. Queued commands are part of that picture already.
void TciLink::resync() {
    queue_.clear();
    for (std::string& dxcall : pending_.calls())
        queue_.push_back(Outgoing{Outgoing::Kind::deletion, std::move(dxcall)});
    // A hidden spot, or one off this SDR's bands, may still be on the panorama from before.
    const auto shown = [this](const SpotEntry& entry) {
        return !entry.hidden && filter_.passes(entry.n1mmKHz);
    };
    for (const SpotEntry& entry : table_)
        if (!shown(entry))
            queue_.push_back(Outgoing{Outgoing::Kind::deletion, entry.dxcall});
    for (const SpotEntry& entry : table_)
        if (shown(entry))
            queue_.push_back(Outgoing{Outgoing::Kind::spot, entry.dxcall});
    for (const Request& request : requests_.afterStart)
        queue_.push_back(Outgoing{Outgoing::Kind::request, request.command, request.atStop});
}

void TciLink::spotChanged(const std::string& dxcall, std::optional<double> beforeKHz) {
    const SpotEntry* entry = table_.find(dxcall);
    if (entry != nullptr && !filter_.passes(entry->n1mmKHz)) {
        if (beforeKHz && filter_.passes(*beforeKHz))
            enqueue(Outgoing{Outgoing::Kind::deletion, dxcall});
        return;
    }
    enqueue(Outgoing{Outgoing::Kind::spot, dxcall});
}

void TciLink::setBandFilter(const BandFilter& filter) {
    if (filter == filter_)
        return;
    const BandFilter before = std::exchange(filter_, filter);
    LOG_INFO(kTag, "{}Spots for the SDR: {}", name_, filter_.describe());
    if (!listening())
        return;
    for (const SpotEntry& entry : table_) {
        if (entry.hidden)
            continue;
        const bool was = before.passes(entry.n1mmKHz);
        const bool is = filter_.passes(entry.n1mmKHz);
        if (was != is)
            enqueue(Outgoing{is ? Outgoing::Kind::spot : Outgoing::Kind::deletion, entry.dxcall});
    }
}

void TciLink::spotDeleted(const std::string& dxcall) {
    enqueue(Outgoing{Outgoing::Kind::deletion, dxcall});
}

// A live change leaves at once when nothing waits before it.
void TciLink::enqueue(Outgoing item) {
    if (!listening())
        return;
    if (queue_.size() >= kQueueLimit) {
        LOG_DEBUG(kTag, "{}{} commands wait for the SDR; sending what it should show instead",
                  name_, queue_.size());
        resync();
    } else {
        queue_.push_back(std::move(item));
    }
    write();
}

void TciLink::pump() {
    while (!queue_.empty() && listening() && connection_->bufferedAmount() < kSendLowWater &&
           passBytes_ < kWritePerPass) {
        Outgoing item = std::move(queue_.front());
        queue_.pop_front();
        switch (item.kind) {
        case Outgoing::Kind::spot: {
            // The spot as it is now; one deleted (or moved off this SDR's bands) meanwhile has its
            // deletion further back.
            const SpotEntry* entry = table_.find(item.value);
            if (entry == nullptr || entry->hidden || !filter_.passes(entry->n1mmKHz))
                break;
            const std::string command = spotCommand(*entry);
            LOG_INFO(kTag, "{}>:{}", name_, command);
            connection_->sendText(command);
            passBytes_ += command.size();
            break;
        }
        case Outgoing::Kind::deletion: {
            const std::string command = spotDeleteCommand(item.value);
            LOG_INFO(kTag, "{}>:{}", name_, command);
            connection_->sendText(command);
            passBytes_ += command.size();
            pending_.markSent(item.value, ++deletionsSent_);
            break;
        }
        case Outgoing::Kind::request:
            LOG_INFO(kTag, "{}> {}", name_, item.value);
            connection_->sendText(item.value);
            passBytes_ += item.value.size();
            if (!item.atStop.empty() &&
                std::find(owedAtStop_.begin(), owedAtStop_.end(), item.atStop) == owedAtStop_.end())
                owedAtStop_.push_back(std::move(item.atStop));
            break;
        }
    }
}

// A ping after deletions asks the SDR to show that it has read them; a ping after a quiet spell
// asks it to show that it is there at all. Any frame counts as the answer to the latter, and a
// server that never answers pings is never dropped for it: the system's probes judge the link.
void TciLink::pingWhenDue(std::int64_t now) {
    const bool unconfirmed = deletionsSent_ > deletionsPinged_ && pingsAwaited_.empty();
    const bool quiet = now - std::max(lastHeardMs_, lastPingMs_) >= kQuietMs;
    if (unconfirmed || quiet)
        ping(now);
}

void TciLink::ping(std::int64_t now) {
    AwaitedPing ping{"tarnwick:" + std::to_string(++pingsSent_), deletionsSent_};
    connection_->sendPing(ping.payload);
    lastPingMs_ = now;
    deletionsPinged_ = deletionsSent_;
    // Beyond the limit the server plainly does not answer these; the latest ping confirms the
    // most, so the oldest is given up.
    if (pingsAwaited_.size() == kPingsAwaitedLimit)
        pingsAwaited_.pop_front();
    pingsAwaited_.push_back(std::move(ping));
}

bool TciLink::closeForStop() {
    queue_.clear();
    if (!connected()) {
        connection_.reset();
        return false;
    }
    for (const std::string& command : owedAtStop_) {
        LOG_INFO(kTag, "{}> {}", name_, command);
        connection_->sendText(command);
    }
    connection_->close();
    return true;
}

void TciLink::stopAll(const std::vector<TciLink*>& links) {
    std::vector<TciLink*> closing;
    for (TciLink* link : links)
        if (link->closeForStop())
            closing.push_back(link);
    if (closing.empty())
        return;
    const platform::Clock& clock = closing.front()->clock_;
    const std::int64_t deadline = clock.steadyMillis() + kStopMs;
    for (;;) {
        for (TciLink* link : closing)
            if (!link->connected())
                link->connection_.reset();
        closing.erase(std::remove_if(closing.begin(), closing.end(),
                                     [](TciLink* link) { return !link->connection_; }),
                      closing.end());
        const std::int64_t left = deadline - clock.steadyMillis();
        if (closing.empty() || left <= 0)
            break;
        // Writes what waits, then reads and lets go what comes until each SDR has answered; a
        // close that has waited its time ends at its own next poll.
        std::int64_t wait = std::min<std::int64_t>(left, 100);
        std::vector<platform::WaitFor> sockets;
        for (TciLink* link : closing) {
            const int closeLeft = link->connection_->timeLeftMs();
            if (closeLeft >= 0)
                wait = std::min<std::int64_t>(wait, closeLeft);
            sockets.push_back({link->connection_->nativeSocket(), link->wantsToWrite()});
        }
        platform::waitSockets(sockets.data(), sockets.size(), static_cast<int>(wait));
        for (TciLink* link : closing)
            link->connection_->poll(0);
    }
    for (TciLink* link : links)
        link->connection_.reset();
}
