#include "bridge/iq_intake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void putLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A frame in the SDR's layout; sample k carries I = base + k and Q = -(base + k).
std::vector<std::uint8_t> makeFrame(std::uint32_t samples, std::uint32_t receiver = 0,
                                    std::uint32_t type = 0, float base = 1.0f) {
    const std::uint32_t length = samples * 2;
    // At least 4096 bytes, so that a short frame has room beyond what its length field says.
    std::vector<std::uint8_t> frame(
        std::max<std::size_t>(kIqHeaderBytes + std::size_t{length} * 4, 4096));
    putLe32(frame, 0, receiver);
    putLe32(frame, 4, 48000);
    putLe32(frame, 8, 3);
    putLe32(frame, 20, length);
    putLe32(frame, 24, type);
    putLe32(frame, 28, 2);
    for (std::uint32_t k = 0; k < samples; ++k) {
        const float iq[2] = {base + static_cast<float>(k), -(base + static_cast<float>(k))};
        for (int part = 0; part < 2; ++part) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &iq[part], sizeof bits);
            putLe32(frame, kIqHeaderBytes + (std::size_t{k} * 2 + part) * 4, bits);
        }
    }
    return frame;
}

IqOutcome feed(IqIntake& intake, const std::vector<std::uint8_t>& frame, int millis = 500,
               bool queueEmpty = true) {
    return intake.accept(frame.data(), frame.size(), millis, queueEmpty);
}

bool allZero(const IqBlock& block) {
    return std::all_of(block.data.begin(), block.data.end(), [](float v) { return v == 0.0f; });
}

TEST(IqFrameHeader, LittleEndianFieldsAtTheirOffsets) {
    std::vector<std::uint8_t> bytes(64, 0xee);
    const std::uint8_t receiver[4] = {0x01, 0x02, 0x03, 0x04};
    const std::uint8_t rate[4] = {0x00, 0xEE, 0x02, 0x00};
    const std::uint8_t length[4] = {0x00, 0x10, 0x00, 0x00};
    const std::uint8_t type[4] = {0x01, 0x00, 0x00, 0x80};
    std::memcpy(&bytes[0], receiver, 4);
    std::memcpy(&bytes[4], rate, 4);
    std::memcpy(&bytes[20], length, 4);
    std::memcpy(&bytes[24], type, 4);
    const std::optional<IqFrameHeader> header = readIqFrameHeader(bytes.data(), bytes.size());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->receiver, 0x04030201u);
    EXPECT_EQ(header->sampleRate, 192000u);
    EXPECT_EQ(header->length, 4096u);
    EXPECT_EQ(header->type, 0x80000001u);
    EXPECT_FALSE(readIqFrameHeader(bytes.data(), 63));
    EXPECT_FALSE(readIqFrameHeader(nullptr, 0));
}

TEST(IqIntake, FirstFrameIsOddAndTwoHalfFramesMakeABlock) {
    IqIntake intake(3, 0);
    const auto first = makeFrame(2048, 0, 0, 1.0f);
    const auto second = makeFrame(2048, 0, 0, 10000.0f);

    EXPECT_EQ(feed(intake, first).verdict, IqVerdict::oddStart);
    EXPECT_EQ(intake.iqFrameCount(), 1);
    EXPECT_EQ(intake.iqBlockFill(), 0);

    IqOutcome outcome = feed(intake, first);
    EXPECT_EQ(outcome.verdict, IqVerdict::copied);
    EXPECT_EQ(outcome.bytesCopied, 16384u);
    EXPECT_EQ(outcome.fill, 2048);
    EXPECT_EQ(intake.iqBlockFill(), 2048);

    outcome = feed(intake, second, 501);
    EXPECT_EQ(outcome.verdict, IqVerdict::blockCompleted);
    EXPECT_TRUE(outcome.spectrumDue); // paced, every block is a spectrum
    EXPECT_EQ(outcome.bytesCopied, 16384u);
    EXPECT_EQ(outcome.fill, 4096);
    EXPECT_EQ(intake.iqBlockFill(), 0);
    EXPECT_EQ(intake.lastBlockTime(), 501);
    EXPECT_TRUE(allZero(intake.assembly()));

    // Samples in arrival order, I then Q, the first frame's before the second's.
    const IqBlock& block = intake.completedBlock();
    EXPECT_EQ(block.data[0], 1.0f);
    EXPECT_EQ(block.data[1], -1.0f);
    EXPECT_EQ(block.data[2 * 2047], 2048.0f);
    EXPECT_EQ(block.data[2 * 2048], 10000.0f);
    EXPECT_EQ(block.data[2 * 4095 + 1], -12047.0f);

    // While the block waits for the spectrum step every frame is refused.
    EXPECT_EQ(feed(intake, first, 999, false).verdict, IqVerdict::refused);
    EXPECT_EQ(feed(intake, first, 999, false).verdict, IqVerdict::refused);
    EXPECT_EQ(intake.iqBlockFill(), 0);
    EXPECT_EQ(intake.iqFrameCount(), 5);
}

TEST(IqIntake, OneFullFrameMakesABlockAndKeepsTheCompletedBlockReadable) {
    IqIntake intake(1000, 0);
    const auto frame = makeFrame(4096, 0, 0, 3.0f);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::oddStart);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::blockCompleted);
    EXPECT_EQ(intake.completedBlock().data[0], 3.0f);

    // Filling the next block does not disturb the one the caller is about to queue.
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::oddStart);
    EXPECT_EQ(feed(intake, makeFrame(2048, 0, 0, 77.0f)).verdict, IqVerdict::copied);
    EXPECT_EQ(intake.completedBlock().data[0], 3.0f);
    EXPECT_EQ(intake.assembly().data[0], 77.0f);
}

TEST(IqIntake, OtherReceiverOrStreamTypeChangesOnlyTheCount) {
    IqIntake intake(3, 0);
    feed(intake, makeFrame(2048));
    EXPECT_EQ(feed(intake, makeFrame(2048, 1, 0)).verdict, IqVerdict::refused);
    EXPECT_EQ(feed(intake, makeFrame(2048, 0, 1)).verdict, IqVerdict::refused);
    EXPECT_EQ(intake.iqFrameCount(), 3);
    EXPECT_EQ(intake.iqBlockFill(), 0);
    EXPECT_TRUE(allZero(intake.assembly()));

    IqIntake negative(3, -1);
    feed(negative, makeFrame(2048, 0xffffffffu));
    EXPECT_EQ(feed(negative, makeFrame(2048, 0xffffffffu)).verdict, IqVerdict::refused);
}

TEST(IqIntake, OverflowIsReportedOnceAndTheNextEvenFrameStartsAfresh) {
    IqIntake intake(1000, 0);
    const auto big = makeFrame(3000);
    EXPECT_EQ(feed(intake, big).verdict, IqVerdict::oddStart);
    EXPECT_EQ(feed(intake, big).fill, 3000);

    IqOutcome outcome = feed(intake, big); // frame 3: 3000 + 3000 > 4096
    EXPECT_EQ(outcome.verdict, IqVerdict::overflow);
    EXPECT_TRUE(outcome.reportOverflow);
    EXPECT_EQ(intake.iqBlockFill(), 0);
    EXPECT_TRUE(allZero(intake.assembly()));

    EXPECT_EQ(feed(intake, big).fill, 3000); // frame 4, even: a new block
    outcome = feed(intake, big);
    EXPECT_EQ(outcome.verdict, IqVerdict::overflow);
    EXPECT_FALSE(outcome.reportOverflow); // the same trouble is not logged again

    // Frames that fit bring the blocks back, and a later overflow is reported again.
    const auto half = makeFrame(2048);
    EXPECT_EQ(feed(intake, half).verdict, IqVerdict::copied);         // frame 6
    EXPECT_EQ(feed(intake, half).verdict, IqVerdict::blockCompleted); // frame 7
    EXPECT_EQ(feed(intake, big).fill, 3000);                          // frame 8
    EXPECT_TRUE(feed(intake, big).reportOverflow);

    // A frame larger than a whole block never fits.
    IqIntake huge(1000, 0);
    feed(huge, makeFrame(4097));
    EXPECT_EQ(feed(huge, makeFrame(4097)).verdict, IqVerdict::overflow);
}

TEST(IqIntake, PacingByTheMillisecondsField) {
    IqIntake intake(10, 0); // 100 ms
    ASSERT_EQ(intake.interval(), 100);
    const auto frame = makeFrame(4096);
    feed(intake, frame, 900);
    ASSERT_EQ(feed(intake, frame, 950).verdict, IqVerdict::blockCompleted);

    EXPECT_EQ(feed(intake, frame, 980).verdict, IqVerdict::tooEarly);      // same second, 30 ms on
    EXPECT_EQ(feed(intake, frame, 20).verdict, IqVerdict::blockCompleted); // wrapped: 20 <= 950
    EXPECT_EQ(intake.lastBlockTime(), 20);
    EXPECT_EQ(feed(intake, frame, 119).verdict, IqVerdict::tooEarly);
    EXPECT_EQ(feed(intake, frame, 120).verdict, IqVerdict::blockCompleted); // 100 ms on
}

TEST(IqIntake, PacingAppliesToEveryFrameOfABlock) {
    IqIntake intake(10, 0);
    const auto half = makeFrame(2048);
    // At start the last block time is 0: the first 99 ms of each second are refused.
    EXPECT_EQ(feed(intake, half, 50).verdict, IqVerdict::tooEarly);
    EXPECT_EQ(feed(intake, half, 0).verdict, IqVerdict::copied); // frame 2, 0 <= 0
    EXPECT_EQ(feed(intake, half, 10).verdict, IqVerdict::tooEarly);
    EXPECT_EQ(intake.iqBlockFill(), 2048);
    EXPECT_EQ(feed(intake, half, 100).verdict, IqVerdict::blockCompleted);
}

// Taking every block, no frame is too early. A spectrum is due with the first block, then with
// the first one completed once the interval since the last spectrum has passed.
TEST(IqIntake, EveryBlockTakesEachFrameAndSaysWhenASpectrumIsDue) {
    IqIntake intake(3, 0, true); // 333 ms
    const auto half = makeFrame(2048);
    std::vector<int> due;
    for (int t = 0; t <= 1000; t += 40) {
        const IqOutcome outcome = feed(intake, half, t);
        EXPECT_NE(outcome.verdict, IqVerdict::tooEarly) << t;
        if (outcome.verdict == IqVerdict::blockCompleted && outcome.spectrumDue)
            due.push_back(t);
    }
    EXPECT_EQ(due, (std::vector<int>{80, 480, 880}));

    // A dropped block is begun again by the next even-numbered frame.
    EXPECT_EQ(feed(intake, half, 1040).verdict, IqVerdict::blockCompleted); // frame 27
    EXPECT_EQ(feed(intake, half, 1080).verdict, IqVerdict::copied);
    intake.dropBlock();
    EXPECT_EQ(intake.iqBlockFill(), 0);
    EXPECT_TRUE(allZero(intake.assembly()));
    EXPECT_EQ(feed(intake, half, 1120).verdict, IqVerdict::oddStart);
}

TEST(IqIntake, RateBelowOneOrAboveAThousand) {
    EXPECT_EQ(IqIntake(3, 0).interval(), 333);
    EXPECT_EQ(IqIntake(0, 0).interval(), 1000);
    EXPECT_EQ(IqIntake(-5, 0).interval(), 1000);
    EXPECT_EQ(IqIntake(2000, 0).interval(), 0);
    EXPECT_TRUE(IqIntake::rateNeedsWarning(0));
    EXPECT_TRUE(IqIntake::rateNeedsWarning(-1));
    EXPECT_FALSE(IqIntake::rateNeedsWarning(1));

    // One block a second: with an interval of 1000 only a frame at or before the last block's
    // milliseconds field, in a later second, gets in.
    IqIntake slow(0, 0);
    const auto frame = makeFrame(4096);
    EXPECT_EQ(feed(slow, frame, 300).verdict, IqVerdict::tooEarly);
    ASSERT_EQ(feed(slow, frame, 0).verdict, IqVerdict::blockCompleted);
    EXPECT_EQ(feed(slow, frame, 999).verdict, IqVerdict::tooEarly);
    EXPECT_EQ(feed(slow, frame, 1).verdict, IqVerdict::tooEarly);
    EXPECT_EQ(feed(slow, frame, 0).verdict, IqVerdict::oddStart); // frame 5
    EXPECT_EQ(feed(slow, frame, 0).verdict, IqVerdict::blockCompleted);
}

// At one block a second the milliseconds rule alone lets the last block's field creep towards 0,
// after which blocks come minutes apart. A real stream (2048 samples every ~42.7 ms at 48 kHz) over
// two minutes must still give about one block a second.
TEST(IqIntake, OneBlockASecondKeepsGoing) {
    for (std::int32_t rate : {0, 1}) {
        IqIntake intake(rate, 0);
        const auto half = makeFrame(2048);
        const std::int64_t start = 1765200000123; // an arbitrary UTC moment in milliseconds
        int blocks = 0;
        for (int frame = 0; frame < 2812; ++frame) { // 120 s of frames
            std::int64_t now = start + frame * 128 / 3;
            if (intake.accept(half.data(), half.size(), now, true).verdict ==
                IqVerdict::blockCompleted)
                ++blocks;
        }
        EXPECT_GE(blocks, 110) << "rate " << rate;
        EXPECT_LE(blocks, 121) << "rate " << rate;
    }
}

TEST(IqIntake, DisabledDropsEveryFrame) {
    IqIntake intake;
    EXPECT_FALSE(intake.enabled());
    const auto frame = makeFrame(4096);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::disabled);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::disabled);
    EXPECT_EQ(intake.iqFrameCount(), 2);
    EXPECT_EQ(intake.iqBlockFill(), 0);
}

TEST(IqIntake, LengthBeyondTheMessageIsDroppedUnread) {
    IqIntake intake(1000, 0);
    // 4096 bytes hold 1008 values after the header; this one claims 4096 of them.
    std::vector<std::uint8_t> frame = makeFrame(100);
    ASSERT_EQ(frame.size(), 4096u);
    putLe32(frame, 20, 4096);
    feed(intake, makeFrame(100));
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::truncated);
    EXPECT_EQ(intake.iqBlockFill(), 0);

    putLe32(frame, 20, 0xffffffffu);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::oddStart);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::truncated);

    // Exactly the values that fit are fine; an odd count leaves the last value out.
    putLe32(frame, 20, (4096 - 64) / 4);
    EXPECT_EQ(feed(intake, frame).verdict, IqVerdict::oddStart);
    const IqOutcome outcome = feed(intake, frame);
    EXPECT_EQ(outcome.verdict, IqVerdict::copied);
    EXPECT_EQ(outcome.fill, 504);

    const std::vector<std::uint8_t> shortMessage(40, 0);
    EXPECT_EQ(intake.accept(shortMessage.data(), shortMessage.size(), 500, true).verdict,
              IqVerdict::truncated);
}

TEST(IqIntake, OddLengthIgnoresTheLastValue) {
    IqIntake intake(1000, 0);
    std::vector<std::uint8_t> frame = makeFrame(2049);
    putLe32(frame, 20, 2 * 2048 + 1);
    feed(intake, frame);
    const IqOutcome outcome = feed(intake, frame);
    EXPECT_EQ(outcome.fill, 2048);
    EXPECT_EQ(outcome.bytesCopied, 16384u);
    EXPECT_EQ(intake.assembly().data[2 * 2047 + 1], -2048.0f);
    EXPECT_EQ(intake.assembly().data[2 * 2048], 0.0f);
}

} // namespace
