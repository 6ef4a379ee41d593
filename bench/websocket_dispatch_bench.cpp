// Dispatch cost of a burst of TCI IQ frames gathered by one poll: 16,448-byte binary frames
// (64-byte IQ header + 2048 complex float samples), 1 to 1,000 per burst. The walk over the
// buffer must cost time linear in the burst; a per-frame erase of the consumed front, shown
// alongside for comparison, costs time quadratic in it.
//
// Also the send side: a backlog of 1 to 16 MiB drained by a peer that takes 16 KiB per send.
// Sending from an offset must cost time linear in the backlog; an erase of the sent front after
// every partial send, shown alongside, costs time quadratic in it.

#include "websocket/frame_codec.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kIqFramePayload = 16448;

Bytes burstOf(std::size_t frames) {
    Bytes payload(kIqFramePayload);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 13);
    Bytes burst;
    burst.reserve(frames * (kIqFramePayload + 4));
    for (std::size_t f = 0; f < frames; ++f)
        wsclient::encodeFrame(burst, 2, payload.data(), payload.size(), false, {});
    return burst;
}

// What the bridge's message callback does at the least: look at every message.
struct Touch : wsclient::FrameSink {
    std::uint64_t bytes = 0;
    void onMessage(wsclient::Opcode, const Bytes& message) override {
        bytes += message.size();
        benchmark::DoNotOptimize(message.data());
    }
    void onPing(const std::uint8_t*, std::size_t) override {}
    void onClose() override {}
    void onUnexpected(std::uint8_t) override {}
};

void BM_DispatchBurst(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    const Bytes burst = burstOf(frames);
    Bytes rx;
    wsclient::PartialMessage message;
    Touch sink;
    for (auto _ : state) {
        state.PauseTiming();
        rx = burst;
        state.ResumeTiming();
        wsclient::consumeFrames(rx, message, sink);
        if (!rx.empty())
            state.SkipWithError("burst not fully consumed");
    }
    state.SetComplexityN(static_cast<benchmark::IterationCount>(frames));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(burst.size()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(frames),
                           benchmark::Counter::kIsRate);
}

// The same walk, but removing each frame from the front as soon as it is handled.
void BM_DispatchBurstErasePerFrame(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    const Bytes burst = burstOf(frames);
    Bytes rx;
    Bytes message;
    Touch sink;
    for (auto _ : state) {
        state.PauseTiming();
        rx = burst;
        state.ResumeTiming();
        wsclient::FrameHeader header;
        while (wsclient::parseFrameHeader(rx.data(), rx.size(), header) &&
               rx.size() - header.headerLength >= header.payloadLength) {
            const auto end = rx.begin() + static_cast<std::ptrdiff_t>(header.headerLength +
                                                                      header.payloadLength);
            message.assign(rx.begin() + static_cast<std::ptrdiff_t>(header.headerLength), end);
            Bytes complete;
            complete.swap(message);
            sink.onMessage(wsclient::Opcode::binary, complete);
            rx.erase(rx.begin(), end);
        }
    }
    state.SetComplexityN(static_cast<benchmark::IterationCount>(frames));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(burst.size()));
}

constexpr std::size_t kSendPiece = 16 * 1024;

// Stands in for the socket: copies out what one send takes.
std::size_t sendPiece(const std::uint8_t* data, std::size_t size) {
    static std::uint8_t wire[kSendPiece];
    const std::size_t n = std::min(size, kSendPiece);
    std::memcpy(wire, data, n);
    benchmark::DoNotOptimize(wire);
    return n;
}

void BM_DrainBacklog(benchmark::State& state) {
    const Bytes backlog(static_cast<std::size_t>(state.range(0)) << 20, 0x5a);
    Bytes tx;
    for (auto _ : state) {
        state.PauseTiming();
        tx = backlog;
        std::size_t offset = 0;
        state.ResumeTiming();
        while (tx.size() > offset)
            wsclient::markSent(tx, offset, sendPiece(tx.data() + offset, tx.size() - offset));
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(backlog.size()));
}

void BM_DrainBacklogErasePerSend(benchmark::State& state) {
    const Bytes backlog(static_cast<std::size_t>(state.range(0)) << 20, 0x5a);
    Bytes tx;
    for (auto _ : state) {
        state.PauseTiming();
        tx = backlog;
        state.ResumeTiming();
        while (!tx.empty()) {
            const std::size_t n = sendPiece(tx.data(), tx.size());
            tx.erase(tx.begin(), tx.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(backlog.size()));
}

BENCHMARK(BM_DispatchBurst)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

BENCHMARK(BM_DispatchBurstErasePerFrame)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oNSquared);

BENCHMARK(BM_DrainBacklog)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

BENCHMARK(BM_DrainBacklogErasePerSend)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oNSquared);

} // namespace

BENCHMARK_MAIN();
