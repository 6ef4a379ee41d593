#include "bridge/tci_link.h"

#include "spots/tci_spot_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using wsclient::ReadyState;

class SteppedClock final : public platform::Clock {
public:
    std::int64_t steadyMillis() const override { return steady; }
    std::int64_t wallSeconds() const override { return wall; }
    std::int64_t steady = 1000000;
    std::int64_t wall = 1780000000;
};

// The SDR's end of one connection, as the link's client sees it: how long the attempt takes and
// how it ends, what was written, in order, and how fast the socket takes it.
struct Peer {
    std::int64_t readyAt = 0;         // steady time at which the attempt ends
    bool refuses = false;             // ends it in CLOSED rather than OPEN
    std::vector<std::string> written; // texts, and "<ping>"
    std::vector<std::string> incoming;
    std::size_t buffered = 0;
    std::size_t drainPerWrite = SIZE_MAX; // bytes the socket takes per poll or flush
    std::size_t mostBuffered = 0;
    bool answersPings = true;
    std::vector<std::string> pingPayloads;
    std::size_t answered = 0; // pings answered so far
    std::vector<std::string> pongs;
    std::uint64_t frames = 0;
    ReadyState state = ReadyState::CONNECTING;

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        std::copy_if(written.begin(), written.end(), std::back_inserter(out),
                     [](const std::string& w) { return w != "<ping>"; });
        return out;
    }
    std::size_t pings() const { return std::count(written.begin(), written.end(), "<ping>"); }
};

class ScriptedSocket final : public wsclient::WebSocket {
public:
    ScriptedSocket(Peer& peer, const SteppedClock& clock) : peer_(peer), clock_(clock) {}
    void poll(int) override {
        if (peer_.state == ReadyState::CONNECTING) {
            if (clock_.steady >= peer_.readyAt)
                peer_.state = peer_.refuses ? ReadyState::CLOSED : ReadyState::OPEN;
            return;
        }
        flush();
        // The answers to pings arrive with the next read.
        for (; peer_.answersPings && peer_.answered < peer_.pingPayloads.size(); ++peer_.answered) {
            peer_.pongs.push_back(peer_.pingPayloads[peer_.answered]);
            ++peer_.frames;
        }
    }
    void flush() override { peer_.buffered -= std::min(peer_.buffered, peer_.drainPerWrite); }
    void sendText(const std::string& message) override { queue(message, message.size()); }
    void sendBinary(const std::vector<std::uint8_t>&) override {}
    void sendBinary(const std::string&) override {}
    void sendPing(const std::string& payload) override {
        queue("<ping>", 6);
        peer_.pingPayloads.push_back(payload);
    }
    void close() override { peer_.state = ReadyState::CLOSED; }
    ReadyState readyState() const override { return peer_.state; }
    void _dispatch(wsclient::Callback_Imp&) override {}
    void _dispatchBinary(wsclient::BytesCallback_Imp& callback) override {
        std::vector<std::string> messages;
        messages.swap(peer_.incoming);
        for (const std::string& m : messages) {
            ++peer_.frames;
            callback(std::vector<std::uint8_t>(m.begin(), m.end()), wsclient::Opcode::text);
        }
    }
    std::size_t bufferedAmount() const override { return peer_.buffered; }
    std::uint64_t framesReceived() const override { return peer_.frames; }
    std::vector<std::string> takePongs() override { return std::exchange(peer_.pongs, {}); }
    platform::NativeSocket nativeSocket() const override { return platform::kInvalidSocket; }
    int timeLeftMs() const override {
        return peer_.state == ReadyState::CONNECTING
                   ? static_cast<int>(std::max<std::int64_t>(0, peer_.readyAt - clock_.steady))
                   : -1;
    }

private:
    void queue(const std::string& what, std::size_t bytes) {
        peer_.written.push_back(what);
        peer_.buffered += bytes;
        peer_.mostBuffered = std::max(peer_.mostBuffered, peer_.buffered);
    }
    Peer& peer_;
    const SteppedClock& clock_;
};

SpotEntry spot(const std::string& call, const std::string& comment = "CW") {
    SpotEntry entry;
    entry.dxcall = call;
    entry.mode = "cw";
    entry.frequencyHz = 14025000.0;
    entry.colour = 1;
    entry.comment = comment;
    return entry;
}

// A link whose connection attempts each take `attemptMs` and then fail while `sdrDown`.
struct Rig {
    explicit Rig(std::vector<std::int32_t> receivers = {0})
        : link{clock,
               [this]() -> std::unique_ptr<wsclient::WebSocket> {
                   ++attempts;
                   peers.push_back(std::make_unique<Peer>());
                   peers.back()->readyAt = clock.steady + attemptMs;
                   peers.back()->refuses = sdrDown;
                   return std::make_unique<ScriptedSocket>(*peers.back(), clock);
               },
               table, pending, TciLink::iqStreamRequests(48000, receivers)} {}

    SteppedClock clock;
    SpotTable table;
    LinkDeletes pending;
    std::vector<std::unique_ptr<Peer>> peers;
    bool sdrDown = false;
    std::int64_t attemptMs = 0;
    int attempts = 0;
    TciLink link;

    Peer& peer() { return *peers.back(); }
    // One pass; the SDR's messages go to the link as the bridge would hand them on.
    void pass(std::int64_t advanceMs = 0) {
        clock.steady += advanceMs;
        link.service([this](const std::vector<std::uint8_t>& m, wsclient::Opcode) {
            const std::string text(m.begin(), m.end());
            if (text == "start;")
                link.sdrStarted();
            else if (text == "stop;")
                link.sdrStopped();
        });
    }
    void connect() {
        link.begin();
        pass(TciLink::kReconnectMs);
        ASSERT_TRUE(link.connected());
    }
    void start() {
        peer().incoming.push_back("start;");
        pass();
    }
};

// The connection's life on the 5-second rule, whatever the wall clock does meanwhile.
TEST(TciLink, ConnectsOnTheFiveSecondRuleWhateverTheWallClockDoes) {
    Rig rig;
    rig.sdrDown = true;
    rig.link.begin();
    const struct {
        std::int64_t advanceMs;
        std::int64_t wallStep; // applied before the pass
        bool sdrDown;
        int attempts;
        bool connected;
    } steps[] = {
        {4999, 0, true, 0, false},     {1, 0, true, 1, false},
        {2000, -3600, true, 1, false}, // the wall clock is set back an hour
        {3000, 0, false, 2, true},     {0, +7200, false, 2, true},
    };
    for (const auto& step : steps) {
        rig.clock.wall += step.wallStep;
        rig.sdrDown = step.sdrDown;
        rig.pass(step.advanceMs);
        EXPECT_EQ(rig.attempts, step.attempts) << "at +" << step.advanceMs;
        EXPECT_EQ(rig.link.connected(), step.connected);
    }
    // Lost after a long life: the next attempt is due at once.
    rig.peer().state = ReadyState::CLOSED;
    rig.pass(60000);
    rig.pass();
    EXPECT_EQ(rig.attempts, 3);
}

// An attempt takes as long as the resolver or the SDR's host makes it (8 s here), and never a pass:
// spots are taken meanwhile, and the next attempt is due 5 s after the last one ended.
TEST(TciLink, SlowAttemptsHoldNoPassAndTheNextIsDueFiveSecondsAfterTheLastEnded) {
    Rig rig;
    rig.attemptMs = 8000;
    rig.link.begin();
    const std::int64_t t0 = rig.clock.steady;
    const struct {
        std::int64_t advanceMs;
        bool sdrDown; // for an attempt that starts in this pass
        int attempts;
        bool connecting;
        bool connected;
        std::int64_t nextPassBy; // after t0: the attempt's time limit, or the next attempt
    } steps[] = {
        {5000, true, 1, true, false, 13000}, {7999, true, 1, true, false, 13000},
        {1, true, 1, false, false, 18000},   {4999, false, 1, false, false, 18000},
        {1, false, 2, true, false, 26000},   {8000, false, 2, false, true, 0},
    };
    int spots = 0;
    for (const auto& step : steps) {
        rig.sdrDown = step.sdrDown;
        rig.pass(step.advanceMs);
        const std::string call = "K" + std::to_string(++spots);
        rig.table.add(spot(call));
        rig.link.spotChanged(call);
        EXPECT_EQ(rig.attempts, step.attempts) << "at spot " << spots;
        EXPECT_EQ(rig.link.connecting(), step.connecting) << "at spot " << spots;
        EXPECT_EQ(rig.link.connected(), step.connected) << "at spot " << spots;
        if (step.nextPassBy != 0) {
            EXPECT_EQ(rig.link.nextDeadline() - t0, step.nextPassBy) << "at spot " << spots;
        }
    }
    rig.start();
    EXPECT_EQ(rig.peer().texts().size(), 6u + 2u) << "every spot taken meanwhile, then requests";

    // The bridge stops during an attempt: it is dropped, nothing waits for it.
    rig.peer().state = ReadyState::CLOSED;
    rig.pass(5000);
    ASSERT_TRUE(rig.link.connecting());
    rig.link.stop();
    EXPECT_FALSE(rig.link.connecting());
    EXPECT_TRUE(rig.peer().written.empty());
}

// What the SDR is sent at each start, and what "stop" silences.
TEST(TciLink, EveryStartSendsDeletionsTableAndRequestsInThatOrder) {
    Rig rig;
    rig.table.add(spot("K1ABC"));
    SpotEntry hidden = spot("DUPE");
    hidden.hidden = true; // may still be shown from before it was hidden
    rig.table.add(hidden);
    rig.table.add(spot("DL1XYZ"));
    rig.pending.remember("OLD");
    rig.connect();
    EXPECT_FALSE(rig.link.listening());
    rig.link.spotChanged("K1ABC"); // not listening yet: the table keeps it for the start
    EXPECT_TRUE(rig.peer().texts().empty());

    const std::vector<std::string> resend = {"spot_delete:OLD;",
                                             "spot_delete:DUPE;",
                                             spotCommand(*rig.table.find("K1ABC")),
                                             spotCommand(*rig.table.find("DL1XYZ")),
                                             "iq_samplerate:48000;",
                                             "iq_start:0;"};
    rig.start();
    EXPECT_TRUE(rig.link.listening());
    EXPECT_EQ(rig.peer().texts(), resend);

    // "stop" and "start" in one pass: the start is acted on all the same.
    rig.peer().written.clear();
    rig.peer().incoming = {"stop;", "start;"};
    rig.pass();
    EXPECT_EQ(rig.peer().texts(), std::vector<std::string>(resend.begin() + 1, resend.end()))
        << "the pong to the first re-send's ping confirmed OLD";

    // Many starts in one pass send the table once.
    rig.peer().written.clear();
    rig.peer().incoming = {"start;", "start;", "start;"};
    rig.pass();
    EXPECT_EQ(rig.peer().texts(), std::vector<std::string>(resend.begin() + 1, resend.end()));

    rig.peer().written.clear();
    rig.peer().incoming = {"stop;"};
    rig.pass();
    rig.table.add(spot("G4AAA"));
    rig.link.spotChanged("G4AAA");
    rig.pending.remember("DL1XYZ");
    rig.link.spotDeleted("DL1XYZ");
    rig.pass();
    EXPECT_TRUE(rig.peer().texts().empty());
}

// An SDR kept to its radio's band: at the start only that band's spots (and the others'
// deletions, as it may show them from before), at a band change the difference, paced; live, a
// spot off the band is not sent, and one that moves off it is deleted.
TEST(TciLink, BandFilterSendsOnlyTheRadiosBandAndFollowsItsChanges) {
    using Texts = std::vector<std::string>;
    Rig rig;
    const auto put = [&rig](const std::string& call, double kHz) {
        SpotEntry entry = spot(call);
        entry.n1mmKHz = kHz;
        rig.table.add(entry);
        return spotCommand(entry);
    };
    const std::string k20 = put("K20", 14025.0);
    const std::string k40 = put("K40", 7025.0);
    const std::string unknown = put("K0", 0.0); // kept by an older build: shown everywhere
    rig.link.setBandFilter(BandFilter::ofRadios({14074.0}));
    rig.connect();
    rig.start();
    EXPECT_EQ(rig.peer().texts(),
              (Texts{"spot_delete:K40;", k20, unknown, "iq_samplerate:48000;", "iq_start:0;"}));

    rig.peer().written.clear();
    rig.link.setBandFilter(BandFilter::ofRadios({7030.0}));
    rig.link.setBandFilter(BandFilter::ofRadios({7000.0})); // the same band: nothing more
    EXPECT_EQ(rig.peer().texts(), (Texts{"spot_delete:K20;", k40}));

    rig.peer().written.clear();
    put("N20", 14030.0);
    rig.link.spotChanged("N20");
    put("K40", 14040.0);
    rig.link.spotChanged("K40", 7025.0);
    const std::string n40 = put("N40", 7040.0);
    rig.link.spotChanged("N40", 14010.0);
    EXPECT_EQ(rig.peer().texts(), (Texts{"spot_delete:K40;", n40}));
}

// A deletion is heard once a pong answers a ping sent after it; until then it goes out again at
// every start, on any connection.
TEST(TciLink, DeletionsStayPendingUntilAPongAnswersALaterPing) {
    for (const bool answers : {true, false}) {
        Rig rig;
        rig.connect();
        rig.peer().answersPings = answers;
        rig.start();
        rig.pending.remember("GONE");
        rig.link.spotDeleted("GONE");
        rig.pass(); // the ping that asks the SDR to show it has read the deletion
        ASSERT_EQ(rig.peer().written.back(), "<ping>");
        rig.pass(); // its answer, if any
        EXPECT_EQ(rig.pending.size(), answers ? 0u : 1u) << "answers pings: " << answers;

        // A server that never answers is never dropped for it, and hears the deletion again at
        // each start.
        rig.peer().written.clear();
        rig.start();
        EXPECT_EQ(rig.peer().texts().front() == "spot_delete:GONE;", !answers);
        EXPECT_TRUE(rig.link.connected());
    }
    // Sent, then the connection is lost before any answer: the next connection hears it.
    Rig rig;
    rig.connect();
    rig.start();
    rig.pending.remember("LOST");
    rig.link.spotDeleted("LOST");
    rig.peer().state = ReadyState::CLOSED;
    rig.pass();
    EXPECT_FALSE(rig.link.listening());
    rig.pass(TciLink::kReconnectMs);
    rig.start();
    EXPECT_EQ(rig.peer().texts().front(), "spot_delete:LOST;");
}

// A pong confirms the deletions sent before the ping whose payload it carries, and every earlier
// ping with it; one that carries no payload of ours confirms nothing.
TEST(TciLink, PongsConfirmByTheirPingsPayload) {
    const struct {
        const char* server;
        std::vector<std::string> pongs; // "#n": the payload of the link's ping n (from 0)
        std::size_t pendingAfter;
    } cases[] = {
        {"answers each ping", {"#0", "#1"}, 0},
        {"answers the latest of two", {"#1"}, 0},
        {"answers the first only", {"#0"}, 1},
        {"answers unasked, with a word, empty", {"tarnwick:99", "pong", ""}, 2},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.connect();
        rig.start();
        rig.peer().answersPings = false;
        for (const char* call : {"GONE1", "GONE2"}) {
            rig.pending.remember(call);
            rig.link.spotDeleted(call);
            rig.pass(TciLink::kQuietMs); // a ping after each deletion
        }
        ASSERT_EQ(rig.peer().pingPayloads.size(), 2u) << c.server;
        for (const std::string& pong : c.pongs)
            rig.peer().pongs.push_back(pong[0] == '#' ? rig.peer().pingPayloads.at(pong[1] - '0')
                                                      : pong);
        rig.pass();
        EXPECT_EQ(rig.pending.size(), c.pendingAfter) << c.server;
    }
}

// A quiet line is pinged; anything the SDR sends counts as life.
TEST(TciLink, PingsAfterTenQuietSecondsAndCountsAnyFrameAsLife) {
    Rig rig;
    rig.connect();
    rig.start();
    const std::size_t before = rig.peer().pings();
    rig.pass(TciLink::kQuietMs - 1);
    EXPECT_EQ(rig.peer().pings(), before);
    rig.peer().incoming.push_back("dds:0,14074000;");
    rig.pass(1);
    rig.pass(TciLink::kQuietMs - 1);
    EXPECT_EQ(rig.peer().pings(), before) << "a message was heard 9.999 s ago";
    rig.pass(1);
    EXPECT_EQ(rig.peer().pings(), before + 1);
    EXPECT_EQ(rig.link.nextDeadline(), rig.clock.steady + TciLink::kQuietMs);
}

// A re-send far larger than the connection's send cap drains at the SDR's pace on one connection.
TEST(TciLink, ResendOfAnySizeIsPacedToTheSendQueue) {
    Rig rig;
    const std::string comment(950, 'x');
    for (int i = 0; i < 20000; ++i)
        rig.table.add(spot("C" + std::to_string(i), comment));
    rig.connect();
    rig.peer().drainPerWrite = 100000;
    rig.start();
    for (int pass = 0; pass < 1000 && rig.link.queued() > 0; ++pass)
        rig.pass(1);
    const std::vector<std::string> texts = rig.peer().texts();
    ASSERT_EQ(texts.size(), 20002u);
    EXPECT_EQ(texts.front(), spotCommand(*rig.table.find("C0")));
    EXPECT_EQ(texts.back(), "iq_start:0;");
    EXPECT_LT(rig.peer().mostBuffered, TciLink::kSendLowWater + 2 * 1024);
    EXPECT_EQ(rig.attempts, 1);
}

// "iq_start" for each receiver shown after the one "iq_samplerate"; "iq_stop" only for the streams
// this bridge asked for on this connection.
TEST(TciLink, StopRequestOnlyAfterTheStreamWasRequested) {
    using Texts = std::vector<std::string>;
    const struct {
        std::vector<std::int32_t> receivers;
        Texts starts, stops;
    } cases[] = {
        {{0}, {"iq_samplerate:48000;", "iq_start:0;"}, {"iq_stop:0;"}},
        {{1, 3},
         {"iq_samplerate:48000;", "iq_start:1;", "iq_start:3;"},
         {"iq_stop:1;", "iq_stop:3;"}},
    };
    for (const auto& c : cases) {
        for (const bool started : {true, false}) {
            Rig rig(c.receivers);
            rig.connect();
            if (started) {
                rig.start();
                EXPECT_EQ(rig.peer().texts(), c.starts);
            }
            rig.peer().written.clear();
            Peer& peer = rig.peer();
            rig.link.stop();
            EXPECT_EQ(peer.texts(), started ? c.stops : Texts{}) << c.receivers.size();
            EXPECT_FALSE(rig.link.connected());
        }
    }
}

} // namespace
