// The IQ stream intake: checks TCI IQ frames, paces them and gathers their samples into blocks
// of 4096 complex samples for the spectrum step. Time comes in as a parameter.
#pragma once

#include "bridge/iq_block.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// The fixed header in front of the samples of a TCI stream frame.
inline constexpr std::size_t kIqHeaderBytes = 64;

struct IqFrameHeader {
    std::uint32_t receiver = 0;   // offset 0
    std::uint32_t sampleRate = 0; // offset 4: samples a second
    std::uint32_t length = 0;     // offset 20: number of 32-bit values in the data
    std::uint32_t type = 0;       // offset 24: 0 is the IQ stream
};

// Reads the little-endian header fields; empty when the message is shorter than the header.
std::optional<IqFrameHeader> readIqFrameHeader(const std::uint8_t* data, std::size_t size);

// The sample rates a frame's header is believed for.
inline constexpr std::uint32_t kLowestStreamRate = 1000;
inline constexpr std::uint32_t kHighestStreamRate = 10000000;

// The rate a frame's samples come at: its header's, unless that is 0 or outside the rates
// believed, when the SpectrumSampleRate setting stands.
std::int32_t streamSampleRate(std::uint32_t headerRate, std::int32_t setting);

enum class IqVerdict {
    disabled,       // the spectrum display is off
    tooEarly,       // the interval since the last block has not passed
    refused,        // another receiver or stream type, or a finished block still waits
    oddStart,       // an odd-numbered frame may not start a block
    truncated,      // the header or the length field claims more than the message holds
    overflow,       // the samples do not fit in the room left; the partial block is dropped
    copied,         // samples copied; the block is not full yet
    blockCompleted, // samples copied and the block is full: see completedBlock()
};

struct IqOutcome {
    IqVerdict verdict = IqVerdict::disabled;
    std::size_t bytesCopied = 0; // copied and blockCompleted
    std::int32_t fill = 0;       // samples in the block after the copy (4096 when completed)
    bool reportOverflow = false; // overflow: true for the first one since a block was completed
    bool spectrumDue = false;    // blockCompleted: a spectrum is due (always when paced)
};

// Logged at error for an overflow that reportOverflow marks. A copy is logged at debug as
// "Copied " bytesCopied "bytes" " buffer=" 32768 "current size=" fill, nothing between the pieces.
inline constexpr const char* kIqOverflowMessage =
    "Stream buffer full (not sure how so this should be investigated!)";

class IqIntake {
public:
    // Disabled: every frame is counted and dropped.
    IqIntake() = default;
    // Enabled with the SpectrumFrequency and SpectrumReceiverNumber settings. A rate below 1
    // paces at one block a second. Paced, a block starts only once the interval since the last
    // one has passed, and each block is a spectrum; with everyBlock the frames are taken back to
    // back, and a spectrum is due with the first block completed once the interval since the
    // last spectrum has passed.
    IqIntake(std::int32_t spectrumRate, std::int32_t spectrumReceiver, bool everyBlock = false);

    // One IQ frame arriving at nowMillis, milliseconds on the loop's steady clock (a step of the
    // wall clock must not stall the spectrum); pacing looks at its milliseconds field (0..999).
    // queueEmpty tells whether the spectrum step has taken the last finished block.
    IqOutcome accept(const std::uint8_t* data, std::size_t size, std::int64_t nowMillis,
                     bool queueEmpty);

    // The block that the last blockCompleted outcome finished; the caller queues a copy of it.
    const IqBlock& completedBlock() const { return blocks_[current_ ^ 1]; }
    // The block being filled.
    const IqBlock& assembly() const { return blocks_[current_]; }
    // Drops the block being filled; the next even-numbered frame starts a new one.
    void dropBlock() { startNewBlock(); }

    bool enabled() const { return enabled_; }
    std::int32_t interval() const { return interval_; }
    std::int32_t iqFrameCount() const { return iqFrameCount_; }
    std::int32_t iqBlockFill() const { return iqBlockFill_; }
    // The milliseconds field of the time of the last block (paced) or spectrum (every block).
    int lastBlockTime() const { return static_cast<int>(lastBlockMillis_ % 1000); }

    // Whether a SpectrumFrequency value needs the start-up warning (it is paced at 1 a second).
    static bool rateNeedsWarning(std::int32_t spectrumRate) { return spectrumRate < 1; }

private:
    void startNewBlock();

    bool enabled_ = false;
    bool everyBlock_ = false;
    bool spectrumSeen_ = false; // every block: a spectrum was due before
    std::int32_t spectrumReceiver_ = 0;
    std::int32_t interval_ = 1000;
    std::int32_t iqFrameCount_ = 0;
    std::int32_t iqBlockFill_ = 0;
    std::int64_t lastBlockMillis_ = 0;
    bool overflowReported_ = false;
    // Two blocks, so a finished one stays readable while the next is filled.
    IqBlock blocks_[2];
    unsigned current_ = 0;
};
