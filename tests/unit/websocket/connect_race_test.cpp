#include "websocket/connect_race.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using wsclient::ConnectRace;
using wsclient::Dialer;
using Result = ConnectRace::Result;

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// Each address answers as told: refused at its start, or connected or refused once the clock
// reaches the time given, or never. Records what the race did with each.
class ScriptedDialer final : public Dialer {
public:
    struct Address {
        bool refusesAtOnce = false;
        std::int64_t connectsAtMs = kNever;
        std::int64_t refusesAtMs = kNever;
    };
    ScriptedDialer(std::vector<Address> script, const std::int64_t& now)
        : script_(std::move(script)), now_(now), startedAt(script_.size(), -1),
          abandoned(script_.size(), false) {}

    Outcome start(std::size_t index) override {
        startedAt[index] = now_;
        return script_[index].refusesAtOnce ? Outcome::failed : check(index);
    }
    Outcome check(std::size_t index) override {
        if (now_ >= script_[index].connectsAtMs)
            return Outcome::connected;
        return now_ >= script_[index].refusesAtMs ? Outcome::failed : Outcome::pending;
    }
    void abandon(std::size_t index) override { abandoned[index] = true; }

    std::vector<Address> script_;
    const std::int64_t& now_;
    std::vector<std::int64_t> startedAt; // -1: never started
    std::vector<bool> abandoned;
};

// Steps the race every `stepMs` until it ends or `untilMs`; the time it ended, or -1.
std::int64_t runRace(ConnectRace& race, ScriptedDialer& dialer, std::int64_t& now,
                     std::int64_t untilMs, std::int64_t stepMs = 10) {
    for (; now <= untilMs; now += stepMs)
        if (race.step(dialer, now) != Result::running)
            return now;
    return -1;
}

TEST(ConnectRace, FirstAddressSilentTheSecondStartsBesideItAfter250MsAndWins) {
    std::int64_t now = 0;
    ScriptedDialer dialer({{false, kNever, kNever}, {false, 300, kNever}}, now);
    ConnectRace race({true, false}, now, 2000);
    EXPECT_EQ(race.step(dialer, now), Result::running);
    EXPECT_EQ(race.nextStepMs(), 250);
    now = 249;
    EXPECT_EQ(race.step(dialer, now), Result::running);
    EXPECT_EQ(dialer.startedAt[1], -1);
    now = 250;
    EXPECT_EQ(race.step(dialer, now), Result::running);
    EXPECT_EQ(dialer.startedAt[1], 250);
    EXPECT_EQ(race.pending(), (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(race.nextStepMs(), 2000); // nothing left to start
    now = 300;
    EXPECT_EQ(race.step(dialer, now), Result::connected);
    EXPECT_EQ(race.winner(), 1u);
    EXPECT_TRUE(dialer.abandoned[0]) << "the silent try is given up";
    EXPECT_FALSE(dialer.abandoned[1]);
    // The race stays ended.
    EXPECT_EQ(race.step(dialer, now + 10), Result::connected);
}

TEST(ConnectRace, AllSilentEndsAtTheLimitWithEveryTryGivenUp) {
    std::int64_t now = 0;
    ScriptedDialer dialer({{}, {}, {}}, now);
    ConnectRace race({false, false, false}, now, 2000);
    EXPECT_EQ(runRace(race, dialer, now, 5000), 2000);
    EXPECT_EQ(race.step(dialer, now), Result::timedOut);
    EXPECT_EQ(dialer.startedAt, (std::vector<std::int64_t>{0, 250, 500}));
    EXPECT_EQ(dialer.abandoned, (std::vector<bool>{true, true, true}));
    EXPECT_TRUE(race.pending().empty());
}

TEST(ConnectRace, FailuresHandOverAtOnceAndAllRefusedIsARefusal) {
    std::int64_t now = 0;
    // The first refuses at once, the second after 100 ms, the third connects at 150 ms.
    ScriptedDialer dialer({{true, kNever, kNever}, {false, kNever, 100}, {false, 150, kNever}},
                          now);
    ConnectRace race({true, false, true}, now, 2000);
    EXPECT_EQ(race.step(dialer, now), Result::running);
    // Order 0 (IPv6), 1 (IPv4), 2: the refused first hands over to the second at once.
    EXPECT_EQ(dialer.startedAt[1], 0);
    EXPECT_EQ(runRace(race, dialer, now, 5000), 150);
    EXPECT_EQ(dialer.startedAt[2], 100) << "the second's failure started the third";
    EXPECT_EQ(race.winner(), 2u);

    // One that fails as it begins while another is still out hands over at once too.
    std::int64_t beside = 0;
    ScriptedDialer failingBeside({{false, kNever, kNever}, {true}, {false, 300, kNever}}, beside);
    ConnectRace besideRace({false, false, false}, beside, 2000);
    EXPECT_EQ(runRace(besideRace, failingBeside, beside, 5000), 300);
    EXPECT_EQ(failingBeside.startedAt[2], 250);

    std::int64_t later = 0;
    ScriptedDialer refusing({{true}, {false, kNever, 40}}, later);
    ConnectRace refused({false, true}, later, 2000);
    EXPECT_EQ(runRace(refused, refusing, later, 5000), 40);
    EXPECT_EQ(refused.step(refusing, later), Result::refused);
    EXPECT_FALSE(refusing.abandoned[1]) << "a failed try is not given up again";

    std::int64_t none = 0;
    ScriptedDialer empty({}, none);
    ConnectRace noAddresses({}, none, 2000);
    EXPECT_EQ(noAddresses.step(empty, none), Result::refused);
}

TEST(ConnectRace, FamiliesTakeTurnsFromTheResolversFirst) {
    struct Case {
        std::vector<bool> isIpv6;
        std::vector<std::size_t> order;
    };
    const Case cases[] = {
        {{true, true, false, false}, {0, 2, 1, 3}},
        {{false, true, true}, {0, 1, 2}},
        {{true, true, true, false}, {0, 3, 1, 2}},
        {{false}, {0}},
        {{}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ConnectRace::interleaved(c.isIpv6), c.order) << testing::PrintToString(c.isIpv6);
}

} // namespace
