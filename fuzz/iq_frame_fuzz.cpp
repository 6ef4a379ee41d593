// Any binary message from the SDR: the intake must never read past the message and must keep
// its block fill within one block.
#include "bridge/iq_intake.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The first byte picks the rate, the receiver and the queue state; the rest is the message,
// offered four times at different moments.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t choice = data[0];
    const std::uint8_t* message = data + 1;
    const std::size_t messageSize = size - 1;
    const std::int32_t rate = static_cast<std::int32_t>(choice & 0x0f) - 2; // -2 .. 13
    const std::int32_t receiver = (choice >> 4) & 0x03;
    IqIntake intake(rate, receiver);
    const std::optional<IqFrameHeader> header = readIqFrameHeader(message, messageSize);

    static const int moments[] = {0, 999, 0, 500};
    for (int round = 0; round < 4; ++round) {
        const std::int32_t fillBefore = intake.iqBlockFill();
        const bool queueEmpty = (choice & 0x40) == 0 || round >= 2;
        const IqOutcome outcome = intake.accept(message, messageSize, moments[round], queueEmpty);
        FUZZ_CHECK(intake.iqFrameCount() == round + 1);
        FUZZ_CHECK(intake.iqBlockFill() >= 0 && intake.iqBlockFill() < 4096);

        if (outcome.verdict == IqVerdict::copied || outcome.verdict == IqVerdict::blockCompleted) {
            FUZZ_CHECK(header && header->receiver == static_cast<std::uint32_t>(receiver));
            FUZZ_CHECK(header->type == 0 && queueEmpty);
            FUZZ_CHECK(std::uint64_t{header->length} * 4 <= messageSize - kIqHeaderBytes);
            FUZZ_CHECK(outcome.bytesCopied == std::size_t{header->length / 2} * 8);
            FUZZ_CHECK(outcome.fill == fillBefore + static_cast<std::int32_t>(header->length / 2));
            FUZZ_CHECK((outcome.verdict == IqVerdict::blockCompleted) == (outcome.fill == 4096));
        } else {
            FUZZ_CHECK(outcome.bytesCopied == 0);
            if (outcome.verdict != IqVerdict::overflow) {
                FUZZ_CHECK(intake.iqBlockFill() == fillBefore);
            }
        }
        if (outcome.verdict == IqVerdict::blockCompleted) {
            FUZZ_CHECK(intake.lastBlockTime() == moments[round]);
        }
    }
    return 0;
}
