#include "bridge/spectrum.h"

#include "bridge/tci_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
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

// A frame of 2048 samples of a tone at `bin` of 4096 for the given receiver.
std::vector<std::uint8_t> toneFrame(std::uint32_t receiver, int bin, std::uint32_t first) {
    const std::uint32_t samples = 2048;
    std::vector<std::uint8_t> frame(kIqHeaderBytes + samples * 8);
    putLe32(frame, 0, receiver);
    putLe32(frame, 20, samples * 2);
    for (std::uint32_t k = 0; k < samples; ++k) {
        const double phase = 2.0 * 3.141592653589793 * bin * (first + k) / 4096.0;
        const float iq[2] = {static_cast<float>(0.1 * std::cos(phase)),
                             static_cast<float>(0.1 * std::sin(phase))};
        for (int part = 0; part < 2; ++part) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &iq[part], sizeof bits);
            putLe32(frame, kIqHeaderBytes + (std::size_t{k} * 2 + part) * 4, bits);
        }
    }
    return frame;
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
    for (std::uint32_t n = 0; n < 16; ++n, now += 200) {
        const auto frame = toneFrame(3, 256, n * 2048);
        first.takeFrame(frame.data(), frame.size(), now, lock);
        second.takeFrame(frame.data(), frame.size(), now, lock);
        reference.takeFrame(frame.data(), frame.size(), now, lock);
        SpectrumPacket packet;
        std::uint32_t millis = 0;
        EXPECT_FALSE(first.step(lock, packet, millis)) << "receiver 0 heard nothing";
        if (second.step(lock, packet, millis))
            seconds.push_back(packet);
        if (reference.step(lock, packet, millis))
            references.push_back(packet);
    }
    ASSERT_GE(seconds.size(), 3u);
    EXPECT_EQ(seconds, references);
    EXPECT_NE(seconds[0].find("<Name>SO2V B</Name>"), std::string::npos);
    EXPECT_NE(seconds[0].find("<LowScopeFrequency>7050</LowScopeFrequency>"), std::string::npos);
    EXPECT_EQ(first.ddsFrequency(), 14074000);
    EXPECT_EQ(second.n1mmFrequency(), 707400);
}

} // namespace
