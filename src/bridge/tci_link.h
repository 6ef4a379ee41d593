// The link to the SDR's TCI server, from the connection attempt to its end: the SDR's start and
// stop notices, what the bridge sends and in which order, a ping when the line has gone quiet,
// and the confirmation of deletions. One connection at a time; an attempt is moved on by the
// loop's passes and never waited for, and the next one is due 5 seconds after the last ended,
// however it ended. A station with two SDR programs has a link to each, each on its own: what one
// link does in a pass is bounded, so that the other's SDR waits for nothing it does.
#pragma once

#include "platform/clock.h"
#include "platform/socket.h"
#include "spots/bands.h"
#include "spots/spot_table.h"
#include "websocket/websocket.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TciLink {
public:
    // Starts a connection attempt without waiting: a client in CONNECTING (or OPEN already), or
    // null when none can be made now.
    using Connect = std::function<std::unique_ptr<wsclient::WebSocket>()>;
    // Every message that arrives, and the opcode that tells text from IQ.
    using Deliver =
        std::function<void(const std::vector<std::uint8_t>& message, wsclient::Opcode type)>;

    // The bridge's own requests around the spots, sent after the table at every start (the IQ
    // stream's rate and a start for each receiver shown, when the spectrum display is on). What
    // undoes a request goes out at the bridge's stop, and only when the request itself went out
    // on the connection: a stream that is not ours is never stopped.
    struct Request {
        std::string command;
        std::string atStop; // may be empty
    };
    struct Requests {
        std::vector<Request> afterStart;
    };
    // "iq_samplerate" once, then "iq_start" for each receiver; at the stop "iq_stop" for each
    // receiver whose start went out. The numbers are the settings' values widened with their sign
    // and printed unsigned.
    static Requests iqStreamRequests(std::int32_t sampleRate,
                                     const std::vector<std::int32_t>& receivers);

    static constexpr std::int64_t kReconnectMs = 5000;
    // Nothing heard for this long: a ping asks for a word.
    static constexpr std::int64_t kQuietMs = 10000;
    // TCP keep-alive: probes from 10 s of silence, every 2 s, ten of them; about 30 s in all.
    static constexpr int kKeepAliveIdleSeconds = 10;
    static constexpr int kKeepAliveIntervalSeconds = 2;
    static constexpr int kKeepAliveProbes = 10;
    // Commands go to the connection only while less than this waits in its send queue, so that
    // a re-send of any size drains at the SDR's pace and never meets the queue's cap.
    static constexpr std::size_t kSendLowWater = 64 * 1024;
    // Past this many waiting commands (an SDR that reads slower than spots arrive), the queue
    // is replaced by what the table and the pending deletions say now: the same picture.
    static constexpr std::size_t kQueueLimit = 65536;
    // Pings whose answer is awaited; past this many the oldest is given up.
    static constexpr std::size_t kPingsAwaitedLimit = 16;
    // Commands handed to the connection in one pass: a re-send of any size goes out over several
    // passes, so that the other link and the spot socket are served in between.
    static constexpr std::size_t kWritePerPass = 256 * 1024;

    // `name` goes before every line the link logs: empty for the first link, so that a station
    // with one SDR program sees the lines it always has.
    TciLink(const platform::Clock& clock, Connect connect, const SpotTable& table,
            LinkDeletes& pending, Requests requests, std::string name = std::string());
    ~TciLink();
    TciLink(const TciLink&) = delete;
    TciLink& operator=(const TciLink&) = delete;

    // The loop starts: the first attempt comes kReconnectMs later.
    void begin();
    // Once a pass: a new attempt when due, and the one under way moved on; on an open
    // connection, receive and deliver, note what proves the SDR alive and what it has read, hand
    // over waiting commands, ping when due, and write.
    void service(const Deliver& deliver);

    // The SDR's notices, from the messages that service() delivers. A "start" sends the pending
    // deletions, the table and the requests again, once for all the starts of one pass; "stop"
    // silences the link until the next start.
    void sdrStarted();
    void sdrStopped();

    // Live changes, sent when the SDR listens: the spot as the table holds it when it goes out,
    // and a deletion (already remembered as pending by the caller). A spot that the band filter
    // keeps from this SDR is not sent; if the SDR may show the call from before, at beforeKHz,
    // it is sent the deletion instead.
    void spotChanged(const std::string& dxcall, std::optional<double> beforeKHz = std::nullopt);
    void spotDeleted(const std::string& dxcall);

    // The spots this SDR is to show from now on, by the bands of the N1MM+ radios it serves.
    // While it listens it is sent, paced as a re-send is, the deletions of the spots it is to
    // show no more and the spots it is to show now; otherwise its next start sends them.
    void setBandFilter(const BandFilter& filter);
    const BandFilter& bandFilter() const { return filter_; }

    // The bridge stops: the stop requests when due, the close frame, and a moment for both to go
    // and for the SDR to answer. Every link at once: the closes are waited for together, so that
    // two links take no longer than one.
    static void stopAll(const std::vector<TciLink*>& links);
    void stop() { stopAll({this}); }

    // The SDR hears what is sent now: it has started, and the connection is open.
    bool listening() const;
    bool sdrReady() const { return sdrReady_; }
    // An attempt is under way; the connection is open (or closing).
    bool connecting() const;
    bool connected() const;

    // For the loop's wait: the socket of the connection or of the attempt, whether it waits to
    // write (or to connect), and when the link next needs a pass (steady milliseconds).
    platform::NativeSocket socket() const;
    bool wantsToWrite() const;
    std::int64_t nextDeadline() const;

    std::size_t queued() const { return queue_.size(); }

private:
    struct Outgoing {
        enum class Kind { spot, deletion, request } kind;
        std::string value;       // the call, or the request's text
        std::string atStop = {}; // a request's undoing, owed once it has gone out
    };

    struct AwaitedPing {
        std::string payload;
        std::uint64_t deletionsThrough = 0; // deletions sent before the ping
    };

    void attempt(std::int64_t now);
    void opened(std::int64_t now);
    void connectionEnded();
    void noteArrivals(std::int64_t now);
    void resync();
    void enqueue(Outgoing item);
    void pump();
    void write();
    void pingWhenDue(std::int64_t now);
    void ping(std::int64_t now);
    void setReady(bool ready);
    // Sends what is owed at the stop and the close frame; false when there is no connection to
    // close.
    bool closeForStop();

    const platform::Clock& clock_;
    Connect connect_;
    const SpotTable& table_;
    LinkDeletes& pending_;
    Requests requests_;
    std::string name_;
    BandFilter filter_;

    std::unique_ptr<wsclient::WebSocket> connection_;
    bool sdrReady_ = false;
    bool resyncDue_ = false;              // a start came in this pass
    std::vector<std::string> owedAtStop_; // in the order their requests went out
    std::deque<Outgoing> queue_;
    std::size_t passBytes_ = 0; // handed to the connection in this pass
    std::int64_t lastAttemptEndMs_ = 0;
    std::int64_t lastHeardMs_ = 0;
    std::int64_t lastPingMs_ = 0;
    std::uint64_t framesSeen_ = 0;
    // Deletions sent, counted; pings sent, counted (each carries its number); and the pings
    // awaiting their pong, oldest first.
    std::uint64_t deletionsSent_ = 0;
    std::uint64_t deletionsPinged_ = 0;
    std::uint64_t pingsSent_ = 0;
    std::deque<AwaitedPing> pingsAwaited_;
};
