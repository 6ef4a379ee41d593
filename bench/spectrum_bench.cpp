// Speed of the spectrum path for one 4096-sample block, side by side with FFTW's single-precision
// transform of the same block as the yardstick. The closing lines give each figure as a multiple
// of FFTW's time (CPU time, steadier than wall time on a shared machine); the aim for the whole
// step is 3 or less. The last line is what averaging every block of two 192 kHz streams adds. Run
// with --benchmark_repetitions=8 --benchmark_enable_random_interleaving to let the fastest of
// several runs count.
#include "bridge/fft.h"
#include "bridge/spectrum_packet.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

namespace {

// A tone at +3 kHz (48 kHz sampling) over noise, as the SDR would send it.
const IqBlock& sampleBlock() {
    static const std::unique_ptr<IqBlock> block = [] {
        auto b = std::make_unique<IqBlock>();
        std::mt19937 gen(42);
        std::normal_distribution<float> noise(0.0f, 1e-3f);
        const double pi = 3.14159265358979323846;
        for (std::size_t n = 0; n < IqBlock::kSamples; ++n) {
            const double phase = 2 * pi * static_cast<double>((n * 256) % 4096) / 4096;
            b->data[2 * n] = 0.25f * static_cast<float>(std::cos(phase)) + noise(gen);
            b->data[2 * n + 1] = 0.25f * static_cast<float>(std::sin(phase)) + noise(gen);
        }
        return b;
    }();
    return *block;
}

const FftWindow& window() {
    static const std::unique_ptr<FftWindow> w = [] {
        auto table = std::make_unique<FftWindow>();
        fillFftWindow(*table);
        return table;
    }();
    return *w;
}

std::unique_ptr<IqBlock> windowedBlock() {
    auto b = std::make_unique<IqBlock>(sampleBlock());
    applyFftWindow(window(), *b);
    return b;
}

// Every run starts from the same input, so the values never drift into subnormals.
void BM_CopyBlock(benchmark::State& state) {
    auto buffer = std::make_unique<IqBlock>();
    for (auto _ : state) {
        std::memcpy(buffer->data.data(), sampleBlock().data.data(), IqBlock::kBytes);
        benchmark::DoNotOptimize(buffer->data.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyBlock);

void BM_Window(benchmark::State& state) {
    auto buffer = std::make_unique<IqBlock>();
    for (auto _ : state) {
        std::memcpy(buffer->data.data(), sampleBlock().data.data(), IqBlock::kBytes);
        applyFftWindow(window(), *buffer);
        benchmark::DoNotOptimize(buffer->data.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel("includes the copy");
}
BENCHMARK(BM_Window);

template <bool (*Transform)(float*, std::uint32_t)> void BM_Transform(benchmark::State& state) {
    const auto input = windowedBlock();
    {
        auto probe = std::make_unique<IqBlock>(*input);
        if (!Transform(probe->data.data(), 4096)) {
            state.SkipWithError("path not available on this processor");
            return;
        }
    }
    auto buffer = std::make_unique<IqBlock>();
    for (auto _ : state) {
        std::memcpy(buffer->data.data(), input->data.data(), IqBlock::kBytes);
        benchmark::DoNotOptimize(Transform(buffer->data.data(), 4096));
        benchmark::ClobberMemory();
    }
    state.SetLabel("includes the copy");
}
bool fftSse2(float* samples, std::uint32_t count) {
    return fftWith(SimdPath::sse2, samples, count);
}
bool fftAvx(float* samples, std::uint32_t count) {
    return fftWith(SimdPath::avx, samples, count);
}

BENCHMARK_TEMPLATE(BM_Transform, fft)->Name("BM_Fft");
BENCHMARK_TEMPLATE(BM_Transform, fftSse2)->Name("BM_FftSse2");
BENCHMARK_TEMPLATE(BM_Transform, fftAvx)->Name("BM_FftAvx");
BENCHMARK_TEMPLATE(BM_Transform, fftReference)->Name("BM_FftReference");

void BM_MakeXml(benchmark::State& state) {
    auto spectrum = windowedBlock();
    fft(spectrum->data.data(), 4096);
    BridgeSettings settings;
    const SpectrumInputs in = spectrumInputs(settings, 14074000, 1407400);
    std::int32_t offset = 0;
    makeSpectrumXml(*spectrum, in, offset);
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::int32_t o = offset; // the same offset every time, as in a steady stream
        const SpectrumPacket packet = makeSpectrumXml(*spectrum, in, o);
        bytes = packet.size();
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetLabel(std::to_string(bytes) + " bytes");
}
BENCHMARK(BM_MakeXml);

void BM_BinPowers(benchmark::State& state) {
    auto spectrum = windowedBlock();
    fft(spectrum->data.data(), 4096);
    auto powers = std::make_unique<PowerSpectrum>();
    for (auto _ : state) {
        binPowers(*spectrum, *powers);
        benchmark::DoNotOptimize(powers->data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BinPowers);

void BM_WindowAndFft(benchmark::State& state) {
    auto buffer = std::make_unique<IqBlock>();
    for (auto _ : state) {
        std::memcpy(buffer->data.data(), sampleBlock().data.data(), IqBlock::kBytes);
        windowAndFft(window(), *buffer);
        benchmark::DoNotOptimize(buffer->data.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel("includes the copy");
}
BENCHMARK(BM_WindowAndFft);

// What the worker does per block, minus the send: copy out of the queue, window, transform,
// keep the bins' powers, build the packet. Fused: windowAndFft; separate: applyFftWindow, fft.
template <bool Fused> void BM_SpectrumStep(benchmark::State& state) {
    struct Bridge {
        IqBlock fftBuffer;
        PowerSpectrum powers;
        std::int32_t levelOffset = 0;
    };
    auto bridge = std::make_unique<Bridge>();
    BridgeSettings settings;
    const SpectrumInputs in = spectrumInputs(settings, 14074000, 1407400);
    const IqBlock& queued = sampleBlock();
    for (auto _ : state) {
        std::memcpy(bridge->fftBuffer.data.data(), queued.data.data(), IqBlock::kBytes);
        if (Fused) {
            windowAndFft(window(), bridge->fftBuffer);
        } else {
            applyFftWindow(window(), bridge->fftBuffer);
            fft(bridge->fftBuffer.data.data(), 4096);
        }
        binPowers(bridge->fftBuffer, bridge->powers);
        const SpectrumPacket packet = makeSpectrumXml(bridge->powers, in, bridge->levelOffset);
        benchmark::DoNotOptimize(packet.data());
    }
}
BENCHMARK_TEMPLATE(BM_SpectrumStep, true)->Name("BM_SpectrumStep");
BENCHMARK_TEMPLATE(BM_SpectrumStep, false)->Name("BM_SpectrumStepSeparate");

// What averaging adds per block of the stream: the copy out of the intake, window, transform and
// the powers added to the sums. At 192 kHz a receiver brings 46.875 blocks a second.
void BM_AverageBlock(benchmark::State& state) {
    auto buffer = std::make_unique<IqBlock>();
    auto sums = std::make_unique<PowerSpectrum>();
    for (auto _ : state) {
        std::memcpy(buffer->data.data(), sampleBlock().data.data(), IqBlock::kBytes);
        windowAndFft(window(), *buffer);
        addBinPowers(*buffer, *sums);
        benchmark::DoNotOptimize(sums->data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AverageBlock);

struct FftwBuffers {
    fftwf_complex* in = nullptr;
    fftwf_complex* out = nullptr;
    fftwf_plan plan = nullptr;
    explicit FftwBuffers(bool inPlace) {
        in = fftwf_alloc_complex(4096);
        out = inPlace ? in : fftwf_alloc_complex(4096);
        plan = fftwf_plan_dft_1d(4096, in, out, FFTW_FORWARD, FFTW_MEASURE);
        const auto input = windowedBlock(); // planning overwrote the arrays
        std::memcpy(in, input->data.data(), IqBlock::kBytes);
    }
    ~FftwBuffers() {
        fftwf_destroy_plan(plan);
        if (out != in)
            fftwf_free(out);
        fftwf_free(in);
    }
    FftwBuffers(const FftwBuffers&) = delete;
    FftwBuffers& operator=(const FftwBuffers&) = delete;
};

// The yardstick: out of place, so the input stays as it was and nothing else is timed.
void BM_Fftw(benchmark::State& state) {
    FftwBuffers f(false);
    for (auto _ : state) {
        fftwf_execute(f.plan);
        benchmark::DoNotOptimize(f.out);
        benchmark::ClobberMemory();
    }
    state.SetLabel("out of place, FFTW_MEASURE");
}
BENCHMARK(BM_Fftw);

void BM_FftwInPlace(benchmark::State& state) {
    FftwBuffers f(true);
    const auto input = windowedBlock();
    for (auto _ : state) {
        std::memcpy(f.in, input->data.data(), IqBlock::kBytes);
        fftwf_execute(f.plan);
        benchmark::DoNotOptimize(f.in);
        benchmark::ClobberMemory();
    }
    state.SetLabel("in place, includes the copy");
}
BENCHMARK(BM_FftwInPlace);

// Prints the ordinary table, then each figure as a multiple of FFTW's. With repetitions the
// fastest run of each counts: on a shared machine the slower ones measure the neighbours.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name;
            const double ns = run.GetAdjustedCPUTime();
            const auto it = nanoseconds_.find(name);
            if (it == nanoseconds_.end() || ns < it->second)
                nanoseconds_[name] = ns;
        }
        ConsoleReporter::ReportRuns(reports);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto fftw = nanoseconds_.find("BM_Fftw");
        if (fftw == nanoseconds_.end() || fftw->second <= 0)
            return;
        std::printf("\nFastest run of each, CPU time:\n");
        for (const auto& [name, ns] : nanoseconds_)
            std::printf("%-24s %9.0f ns %6.2f x FFTW\n", name.c_str(), ns, ns / fftw->second);
        const auto block = nanoseconds_.find("BM_AverageBlock");
        if (block != nanoseconds_.end())
            std::printf("\nAveraging at 192 kHz, two receivers: 93.75 blocks a second cost %.3f%% "
                        "of one core\n",
                        93.75 * block->second * 1e-9 * 100);
    }

private:
    std::map<std::string, double> nanoseconds_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fftwf_cleanup();
    return 0;
}
