#include "bridge/iq_intake.h"

#include <cstring>
#include <limits>

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "IQ samples arrive as 32-bit IEEE floats");

namespace {

std::uint32_t readLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

constexpr std::int32_t kBlockSamples = static_cast<std::int32_t>(IqBlock::kSamples);

} // namespace

std::optional<IqFrameHeader> readIqFrameHeader(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kIqHeaderBytes) {
        return std::nullopt;
    }
    IqFrameHeader header;
    header.receiver = readLe32(data);
    header.sampleRate = readLe32(data + 4);
    header.length = readLe32(data + 20);
    header.type = readLe32(data + 24);
    return header;
}

std::int32_t streamSampleRate(std::uint32_t headerRate, std::int32_t setting) {
    if (headerRate < kLowestStreamRate || headerRate > kHighestStreamRate)
        return setting;
    return static_cast<std::int32_t>(headerRate);
}

IqIntake::IqIntake(std::int32_t spectrumRate, std::int32_t spectrumReceiver, bool everyBlock)
    : enabled_(true), everyBlock_(everyBlock), spectrumReceiver_(spectrumReceiver),
      interval_(spectrumRate >= 1 ? 1000 / spectrumRate : 1000) {}

IqOutcome IqIntake::accept(const std::uint8_t* data, std::size_t size, std::int64_t nowMillis,
                           bool queueEmpty) {
    IqOutcome outcome;
    // Only the parity of the count matters; let it wrap instead of overflowing.
    iqFrameCount_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(iqFrameCount_) + 1u);
    const bool oddFrame = (static_cast<std::uint32_t>(iqFrameCount_) & 1u) != 0;

    if (!enabled_) {
        outcome.verdict = IqVerdict::disabled;
        return outcome;
    }
    // The milliseconds fields decide: a wrap into the next second always lets a frame in. At one
    // block a second that rule alone would let the last block's field creep down towards 0 and
    // starve the display, so a full second since the last block lets a frame in as well.
    const int nowField = static_cast<int>(((nowMillis % 1000) + 1000) % 1000);
    const int lastField = lastBlockTime();
    const bool fieldsAllow = nowField - lastField >= interval_ || nowField <= lastField;
    if (!everyBlock_ && !fieldsAllow && nowMillis - lastBlockMillis_ < 1000) {
        outcome.verdict = IqVerdict::tooEarly;
        return outcome;
    }
    const std::optional<IqFrameHeader> header = readIqFrameHeader(data, size);
    if (!header) {
        outcome.verdict = IqVerdict::truncated;
        return outcome;
    }
    if (static_cast<std::int64_t>(header->receiver) != spectrumReceiver_ || header->type != 0 ||
        !queueEmpty) {
        outcome.verdict = IqVerdict::refused;
        return outcome;
    }
    if (iqBlockFill_ == 0 && oddFrame) {
        outcome.verdict = IqVerdict::oddStart;
        return outcome;
    }
    // The length field is the sender's word; never read past the end of what arrived.
    if (std::uint64_t{header->length} * 4 > size - kIqHeaderBytes) {
        outcome.verdict = IqVerdict::truncated;
        return outcome;
    }
    const std::uint32_t samples = header->length / 2;
    if (std::uint64_t{samples} + static_cast<std::uint64_t>(iqBlockFill_) > IqBlock::kSamples) {
        // Dropping the partial block lets the next even frame start afresh; keeping it would
        // refuse every later frame and stop the spectrum for good.
        outcome.verdict = IqVerdict::overflow;
        outcome.reportOverflow = !overflowReported_;
        overflowReported_ = true;
        startNewBlock();
        return outcome;
    }

    const std::uint8_t* from = data + kIqHeaderBytes;
    float* to = blocks_[current_].data.data() + static_cast<std::size_t>(iqBlockFill_) * 2;
    for (std::size_t value = 0; value < std::size_t{samples} * 2; ++value, from += 4) {
        const std::uint32_t bits = readLe32(from);
        std::memcpy(to + value, &bits, sizeof bits);
    }
    iqBlockFill_ += static_cast<std::int32_t>(samples);
    outcome.bytesCopied = std::size_t{samples} * 8;
    outcome.fill = iqBlockFill_;
    outcome.verdict = IqVerdict::copied;

    if (iqBlockFill_ == kBlockSamples) {
        current_ ^= 1u;
        startNewBlock();
        overflowReported_ = false;
        outcome.verdict = IqVerdict::blockCompleted;
        // The loop's steady clock: every spectrum then holds about as many blocks as the next.
        outcome.spectrumDue =
            !everyBlock_ || !spectrumSeen_ || nowMillis - lastBlockMillis_ >= interval_;
        if (outcome.spectrumDue) {
            lastBlockMillis_ = nowMillis;
            spectrumSeen_ = true;
        }
    }
    return outcome;
}

void IqIntake::startNewBlock() {
    blocks_[current_].data.fill(0.0f);
    iqBlockFill_ = 0;
}
