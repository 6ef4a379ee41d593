#include "bridge/spectrum.h"

#include "bridge/tci_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

// What the settings file says and what runs: the second spectrum only when all of it can be used.
TEST(SpectrumPlan, SecondSpectrumOnlyFromUsableValues) {
    const struct {
        const char* receiver; // Spectrum2ReceiverNumber; null: absent
        const char* radio;    // Spectrum2RadioNr; null: absent
        const char* name;     // Spectrum2Name; null: absent
        std::size_t spectra;
        const char* problem; // part of the one line said; null: none
    } cases[] = {
        {nullptr, nullptr, nullptr, 1, nullptr},
        {"1", nullptr, nullptr, 2, nullptr},
        {" 7 ", "1", "Radio B", 2, nullptr},
        {"8", nullptr, nullptr, 1, "\"8\" is not a receiver from 0 to 7"},
        {"-1", nullptr, nullptr, 1, "\"-1\" is not a receiver"},
        {"1x", nullptr, nullptr, 1, "\"1x\" is not a receiver"},
        {"", nullptr, nullptr, 1, "\"\" is not a receiver"},
        {"0", nullptr, nullptr, 1, "is the receiver of the first spectrum"},
        {"1", "3", nullptr, 1, "\"3\" is not an N1MM+ radio from 1 to 2"},
        {"1", nullptr, " ", 1, "Spectrum2Name is empty"},
        {"1", nullptr, "ExpertSDR", 1, "is the first spectrum's name"},
        {"1", nullptr, "\r\n  ExpertSDR\t\n", 1, "\"ExpertSDR\" is the first spectrum's name"},
    };
    for (const auto& c : cases) {
        BridgeSettings settings;
        settings.SpectrumDisplayEnabled = true;
        if (c.receiver)
            settings.Spectrum2ReceiverNumber = c.receiver;
        if (c.radio)
            settings.Spectrum2RadioNr = c.radio;
        if (c.name)
            settings.Spectrum2Name = c.name;
        const SpectrumPlan plan = planSpectra(settings);
        const std::string label = c.receiver ? c.receiver : "(absent)";
        ASSERT_EQ(plan.sources.size(), c.spectra) << label;
        EXPECT_EQ(plan.sources[0].name, "ExpertSDR") << label;
        EXPECT_EQ(plan.sources[0].radio, 1) << label;
        if (c.problem) {
            ASSERT_EQ(plan.problems.size(), 1u) << label;
            EXPECT_NE(plan.problems[0].find(c.problem), std::string::npos) << plan.problems[0];
            EXPECT_NE(plan.problems[0].find("the second spectrum stays off"), std::string::npos);
        } else {
            EXPECT_TRUE(plan.problems.empty()) << label;
        }
    }

    BridgeSettings named;
    named.SpectrumDisplayEnabled = true;
    named.SpectrumName = "\n  Run\r\n";
    named.Spectrum2ReceiverNumber = "1";
    SpectrumPlan plan = planSpectra(named);
    ASSERT_EQ(plan.sources.size(), 2u);
    EXPECT_EQ(plan.sources[0].name, "Run");
    EXPECT_EQ(plan.sources[1].name, "ExpertSDR 2");
    named.Spectrum2Name = " SO2V B\n";
    EXPECT_EQ(planSpectra(named).sources.at(1).name, "SO2V B");
    named.Spectrum2Name.reset();
    EXPECT_EQ(plan.sources[1].radio, 2);
    EXPECT_TRUE(plan.sources[1].wholeReceiverNumber);

    named.SpectrumName = "";
    plan = planSpectra(named);
    EXPECT_EQ(plan.sources.size(), 2u);
    EXPECT_EQ(plan.sources[0].name, "ExpertSDR");
    EXPECT_EQ(plan.problems.size(), 1u);

    named.SpectrumDisplayEnabled = false;
    EXPECT_TRUE(planSpectra(named).sources.empty());

    // A second SDR program: the second spectrum is its receiver 0 unless said otherwise, whatever
    // the first's number, and the first SDR's "dds" rule stays with the first.
    BridgeSettings so2r;
    so2r.SpectrumDisplayEnabled = true;
    plan = planSpectra(so2r, true);
    ASSERT_EQ(plan.sources.size(), 2u);
    EXPECT_EQ(plan.sources[0].link, 0u);
    EXPECT_EQ(plan.sources[1].link, 1u);
    EXPECT_EQ(plan.sources[1].receiver, 0);
    EXPECT_EQ(plan.sources[1].name, "ExpertSDR 2");
    EXPECT_EQ(plan.sources[1].radio, 2);
    EXPECT_TRUE(plan.problems.empty());
    so2r.Spectrum2ReceiverNumber = "9";
    EXPECT_EQ(planSpectra(so2r, true).sources.size(), 1u);
}

// Both spectra average, or neither; any word but true or false is said once.
TEST(SpectrumPlan, AveragingOnlyForTrue) {
    const struct {
        const char* text; // null: absent
        bool averaging;
        bool problem;
    } cases[] = {
        {nullptr, false, false}, {"true", true, false}, {" true\n", true, false},
        {"false", false, false}, {"TRUE", false, true}, {"1", false, true},
        {"", false, true},
    };
    for (const auto& c : cases) {
        BridgeSettings settings;
        settings.SpectrumDisplayEnabled = true;
        settings.Spectrum2ReceiverNumber = "1";
        if (c.text)
            settings.SpectrumAveraging = c.text;
        const SpectrumPlan plan = planSpectra(settings);
        const std::string label = c.text ? c.text : "(absent)";
        ASSERT_EQ(plan.sources.size(), 2u) << label;
        EXPECT_EQ(plan.sources[0].averaging, c.averaging) << label;
        EXPECT_EQ(plan.sources[1].averaging, c.averaging) << label;
        ASSERT_EQ(plan.problems.size(), c.problem ? 1u : 0u) << label;
        if (c.problem) {
            EXPECT_NE(plan.problems[0].find("is not true or false"), std::string::npos);
        }
    }
}

// Receivers 0 to 7 take their own "dds" under either rule; the whole-number rule also keeps
// receiver 1 from taking receiver 10's.
TEST(SpectrumDds, EachReceiverTakesItsOwnFrequency) {
    for (std::int32_t receiver = 0; receiver <= 7; ++receiver) {
        for (std::int32_t other = 0; other <= 7; ++other) {
            const std::string arguments = std::to_string(other) + ",7074000";
            EXPECT_EQ(ddsForReceiverNumber(arguments, receiver), receiver == other) << arguments;
            EXPECT_EQ(ddsForReceiver(arguments, receiver), receiver == other) << arguments;
        }
    }
    EXPECT_FALSE(ddsForReceiverNumber("10,7074000", 1));
    EXPECT_TRUE(ddsForReceiverNumber(" 1 ,7074000", 1));
    EXPECT_TRUE(ddsForReceiverNumber("12,7074000", 12));
    EXPECT_FALSE(ddsForReceiverNumber(",7074000", 0));
    EXPECT_EQ(ddsFrequencyAfterReceiver("1, 7074000"), 7074000);
}

void putLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Frames of 2048 samples for one receiver at 48 kHz: a tone at `bin` of 4096 over Gaussian noise
// of the given deviation on I and Q, the header saying `headerRate`.
struct Stream {
    std::uint32_t receiver = 0;
    double bin = 256;
    double amplitude = 0.1;
    double noise = 0.0;
    std::uint32_t headerRate = 0;
    std::uint32_t sent = 0; // samples so far
    std::mt19937 gen{7};

    std::vector<std::uint8_t> next() {
        const std::uint32_t samples = 2048;
        std::vector<std::uint8_t> frame(kIqHeaderBytes + samples * 8);
        putLe32(frame, 0, receiver);
        putLe32(frame, 4, headerRate);
        putLe32(frame, 20, samples * 2);
        std::normal_distribution<double> gauss(0.0, 1.0);
        for (std::uint32_t k = 0; k < samples; ++k, ++sent) {
            const double phase = 2.0 * 3.141592653589793 * bin * sent / 4096.0;
            const float iq[2] = {
                static_cast<float>(amplitude * std::cos(phase) + noise * gauss(gen)),
                static_cast<float>(amplitude * std::sin(phase) + noise * gauss(gen))};
            for (int part = 0; part < 2; ++part) {
                std::uint32_t bits = 0;
                std::memcpy(&bits, &iq[part], sizeof bits);
                putLe32(frame, kIqHeaderBytes + (std::size_t{k} * 2 + part) * 4, bits);
            }
        }
        return frame;
    }
    // When the frame last made arrives, in milliseconds.
    std::int64_t now() const { return 1000 + std::int64_t{sent} * 1000 / 48000; }
};

// A packet, the blocks it holds and the offset it was built with.
struct Sent {
    SpectrumPacket packet;
    std::uint32_t blocks = 0;
    std::int32_t offset = 0;

    std::string element(const std::string& name) const {
        const std::size_t from = packet.find("<" + name + ">") + name.size() + 2;
        return packet.substr(from, packet.find("</" + name + ">") - from);
    }
    // Each bin's level, give or take the truncation, from a packet of all 4096.
    std::vector<long> levels() const {
        std::vector<long> byBin(4096);
        const std::string data = element("SpectrumData");
        const char* at = data.c_str();
        for (std::uint32_t i = 1; i <= 4096; ++i) {
            char* end = nullptr;
            byBin[(2048 + i) % 4096] = std::strtol(at, &end, 10) + offset;
            at = end + 1;
        }
        return byBin;
    }
    long level(std::uint32_t bin) const { return levels()[bin]; }
};

// The packets of a spectrum fed `frames` frames, stepped after each as the loop does.
std::vector<Sent> feed(Spectrum& spectrum, Stream& stream, int frames, platform::Lock& lock) {
    std::vector<Sent> sent;
    std::uint32_t blocks = 0;
    for (int n = 0; n < frames; ++n) {
        const auto frame = stream.next();
        if (spectrum.takeFrame(frame.data(), frame.size(), stream.now(), lock).verdict ==
            IqVerdict::blockCompleted)
            ++blocks;
        Sent one{{}, blocks, spectrum.levelOffset()};
        Spectrum::Transforms transforms;
        if (spectrum.step(lock, one.packet, transforms)) {
            // A restarted mean's transforms count too: they were made.
            EXPECT_GE(transforms.count, blocks) << "a transform for each block";
            sent.push_back(std::move(one));
            blocks = 0;
        }
    }
    return sent;
}

// A second spectrum sends exactly what a one-receiver bridge set up with its receiver, radio
// and name sends.
TEST(Spectrum, SecondSpectrumSendsWhatAOneReceiverBridgeWould) {
    BridgeSettings two;
    two.SpectrumDisplayEnabled = true;
    two.Spectrum2ReceiverNumber = "3";
    two.Spectrum2Name = "SO2V B";
    const SpectrumPlan plan = planSpectra(two);
    ASSERT_EQ(plan.sources.size(), 2u);

    BridgeSettings one;
    one.SpectrumDisplayEnabled = true;
    one.SpectrumReceiverNumber = 3;
    one.SpectrumName = "SO2V B";
    SpectrumSource alone = planSpectra(one).sources.at(0);
    alone.radio = 2;

    platform::Lock lock;
    Spectrum first(two, plan.sources[0]);
    Spectrum second(two, plan.sources[1]);
    Spectrum reference(one, alone);
    std::vector<std::string> seconds, references;
    for (Spectrum* s : {&first, &second, &reference}) {
        s->initFft();
        EXPECT_EQ(s->takeDds("0,14074000"),
                  s == &first ? Spectrum::Dds::tuned : Spectrum::Dds::otherReceiver);
        s->takeDds("3,7074000");
    }
    second.takeRadioFrequency(707400);
    reference.takeRadioFrequency(707400);
    std::int64_t now = 1000;
    Stream tone{3};
    for (std::uint32_t n = 0; n < 16; ++n, now += 200) {
        const auto frame = tone.next();
        first.takeFrame(frame.data(), frame.size(), now, lock);
        second.takeFrame(frame.data(), frame.size(), now, lock);
        reference.takeFrame(frame.data(), frame.size(), now, lock);
        SpectrumPacket packet;
        Spectrum::Transforms transforms;
        EXPECT_FALSE(first.step(lock, packet, transforms)) << "receiver 0 heard nothing";
        if (second.step(lock, packet, transforms))
            seconds.push_back(packet);
        if (reference.step(lock, packet, transforms))
            references.push_back(packet);
    }
    ASSERT_GE(seconds.size(), 3u);
    EXPECT_EQ(seconds, references);
    EXPECT_NE(seconds[0].find("<Name>SO2V B</Name>"), std::string::npos);
    EXPECT_NE(seconds[0].find("<LowScopeFrequency>7050</LowScopeFrequency>"), std::string::npos);
    EXPECT_EQ(first.ddsFrequency(), 14074000);
    EXPECT_EQ(second.n1mmFrequency(), 707400);
}

// Settings for a spectrum of one bin a value, so that the floor's statistics are the plain ones,
// averaged once a second, every level shown (none below zero).
BridgeSettings averaged() {
    BridgeSettings settings;
    settings.SpectrumDisplayEnabled = true;
    settings.SpectrumAveraging = "true";
    settings.SpectrumSampleSize = 4096;
    settings.SpectrumFrequency = 1;
    settings.SpectrumCorrection = 100;
    return settings;
}

// A carrier 60 dB over the noise of each bin.
Stream carrierInNoise(double bin) {
    Stream stream;
    stream.bin = bin;
    stream.amplitude = 1e5;
    stream.noise = 3000;
    return stream;
}

// The mean of N blocks' powers: the floor's spread shrinks about as 1 / sqrt(N) (a little
// faster, being a spread of logarithms), and the carrier stays where it was.
TEST(Spectrum, AveragingNBlocksSteadiesTheFloorAsOneOverRootNAndKeepsTheCarrier) {
    const BridgeSettings settings = averaged();
    const SpectrumPlan plan = planSpectra(settings);
    ASSERT_TRUE(plan.sources.at(0).averaging);
    platform::Lock lock;
    Spectrum spectrum(settings, plan.sources[0]);
    spectrum.initFft();
    Stream stream = carrierInNoise(1000);
    const std::vector<Sent> sent = feed(spectrum, stream, 60, lock);
    ASSERT_GE(sent.size(), 2u);
    ASSERT_EQ(sent[0].blocks, 1u); // the first spectrum goes at once, of one block
    const double n = sent[1].blocks;
    EXPECT_GE(n, 10); // a second of 85 ms blocks

    const auto floorSpread = [](const Sent& one) {
        const std::vector<long> levels = one.levels();
        double sum = 0, squares = 0, count = 0;
        for (std::uint32_t bin = 0; bin < 4096; ++bin) {
            if (bin + 16 > 1000 && bin < 1000 + 16)
                continue;
            const double level = static_cast<double>(levels[bin]);
            sum += level;
            squares += level * level;
            ++count;
        }
        return std::sqrt(squares / count - (sum / count) * (sum / count));
    };
    const double ratio = floorSpread(sent[1]) / floorSpread(sent[0]);
    EXPECT_GT(ratio, 0.5 / std::sqrt(n)) << n << " blocks";
    EXPECT_LT(ratio, 1.25 / std::sqrt(n)) << n << " blocks";
    EXPECT_NEAR(sent[1].level(1000), sent[0].level(1000), 1);
}

// A retune starts the mean afresh: the old band's carrier is not smeared into the new band. The
// same frequency again changes nothing.
TEST(Spectrum, ANewDdsFrequencyStartsTheMeanAfresh) {
    for (const char* dds : {"0,7074000", "0,14074000"}) {
        const BridgeSettings settings = averaged();
        platform::Lock lock;
        Spectrum spectrum(settings, planSpectra(settings).sources.at(0));
        spectrum.initFft();
        spectrum.takeDds("0,14074000");
        Stream stream = carrierInNoise(1000);
        ASSERT_EQ(feed(spectrum, stream, 13, lock).size(), 1u); // and six blocks of the band
        EXPECT_EQ(spectrum.takeDds(dds), Spectrum::Dds::tuned);
        stream.bin = 3000;
        const std::vector<Sent> sent = feed(spectrum, stream, 30, lock);
        ASSERT_FALSE(sent.empty()) << dds;
        const bool retuned = std::string(dds) == "0,7074000";
        EXPECT_EQ(sent[0].element("LowScopeFrequency"), retuned ? "7050" : "14050");
        const long floor = sent[0].level(2000);
        EXPECT_GT(sent[0].level(3000), floor + 100) << dds;
        if (retuned) {
            EXPECT_LT(sent[0].level(1000), floor + 20) << "the old band is gone";
        } else {
            EXPECT_GT(sent[0].level(1000), floor + 100) << "the mean went on";
        }
    }
}

// The header's rate is the stream's, and sets the edges, unless it is not to be believed.
TEST(Spectrum, TheStreamsOwnRateSetsTheEdges) {
    const struct {
        std::uint32_t headerRate;
        std::int32_t rate;
        const char* low;
        const char* high;
    } cases[] = {
        {192000, 192000, "13978", "14170"},  {96000, 96000, "14026", "14122"},
        {0, 48000, "14050", "14098"},        {999, 48000, "14050", "14098"},
        {1000, 1000, "14073.5", "14074.5"},  {10000000, 10000000, "9074", "19074"},
        {10000001, 48000, "14050", "14098"}, {0xFFFFFFFFu, 48000, "14050", "14098"},
    };
    for (const auto& c : cases) {
        for (const bool averaging : {false, true}) {
            BridgeSettings settings;
            settings.SpectrumDisplayEnabled = true;
            SpectrumSource source;
            source.averaging = averaging;
            platform::Lock lock;
            Spectrum spectrum(settings, source);
            spectrum.initFft();
            spectrum.takeDds("0,14074000");
            Stream stream;
            stream.headerRate = c.headerRate;
            // A mean of one rate only: a new rate drops the block begun.
            const std::vector<Sent> sent = feed(spectrum, stream, 6, lock);
            ASSERT_FALSE(sent.empty()) << c.headerRate;
            EXPECT_EQ(spectrum.streamRate(), c.rate) << c.headerRate;
            EXPECT_EQ(sent[0].element("LowScopeFrequency"), c.low) << c.headerRate;
            EXPECT_EQ(sent[0].element("HighScopeFrequency"), c.high) << c.headerRate;
        }
    }
}

} // namespace
