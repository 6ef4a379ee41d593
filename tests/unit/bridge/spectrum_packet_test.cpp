#include "bridge/spectrum_packet.h"

#include "bridge/fft.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Parsed {
    std::string low;
    std::string high;
    std::string scaling;
    std::string dataCount;
    std::string data;
    std::vector<long> values;
};

std::string childText(const tinyxml2::XMLElement* root, const char* name) {
    const tinyxml2::XMLElement* e = root->FirstChildElement(name);
    if (e == nullptr)
        return "<missing>";
    return e->GetText() ? e->GetText() : "";
}

// Reads the packet back with the XML library: it must be well-formed and in the agreed shape.
Parsed parse(const std::string& packet) {
    Parsed p;
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(packet.data(), packet.size())) << packet;
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr) {
        ADD_FAILURE() << "no root in " << packet;
        return p;
    }
    EXPECT_STREQ("Spectrum", root->Name());
    const char* order[] = {"app",           "Name",      "LowScopeFrequency", "HighScopeFrequency",
                           "ScalingFactor", "DataCount", "SpectrumData"};
    const tinyxml2::XMLElement* e = root->FirstChildElement();
    for (const char* name : order) {
        if (e == nullptr) {
            ADD_FAILURE() << "missing " << name;
            break;
        }
        EXPECT_STREQ(name, e->Name());
        e = e->NextSiblingElement();
    }
    EXPECT_EQ(nullptr, e);
    EXPECT_EQ("WaterfallBandmap", childText(root, "app"));
    EXPECT_EQ("ExpertSDR", childText(root, "Name"));
    p.low = childText(root, "LowScopeFrequency");
    p.high = childText(root, "HighScopeFrequency");
    p.scaling = childText(root, "ScalingFactor");
    p.dataCount = childText(root, "DataCount");
    p.data = childText(root, "SpectrumData");
    std::stringstream in(p.data);
    std::string item;
    while (std::getline(in, item, ','))
        p.values.push_back(std::strtol(item.c_str(), nullptr, 10));
    return p;
}

// Sets bin k to a power whose level, 20 * log10(power), is the given value.
void setLevel(IqBlock& block, std::uint32_t k, double levelDb) {
    block.data[2 * k] = static_cast<float>(std::pow(10.0, levelDb / 40));
    block.data[2 * k + 1] = 0.0f;
}

SpectrumInputs inputs(std::int32_t sampleSize) {
    SpectrumInputs in;
    in.ddsFrequency = 14074000;
    in.n1mmFrequency = 1407400;
    in.SpectrumSampleSize = sampleSize;
    return in;
}

// A fixed block made only of exactly rounded operations: two tones and integer noise, then the
// window and the transform, as the bridge does it.
std::unique_ptr<IqBlock> goldenSpectrum() {
    auto block = std::make_unique<IqBlock>();
    const double pi = 3.14159265358979323846;
    std::uint32_t x = 12345;
    const auto noise = [&x] {
        x = x * 1664525u + 1013904223u;
        return static_cast<float>(static_cast<std::int32_t>(x >> 8) - 8388608) * 0x1p-33f;
    };
    for (std::uint32_t n = 0; n < 4096; ++n) {
        const double strong = 2 * pi * ((n * 256) % 4096) / 4096; // +3 kHz at 48 kHz
        const double weak = -2 * pi * ((n * 1000) % 4096) / 4096;
        const float re = static_cast<float>(std::cos(strong)) * 0.25f +
                         static_cast<float>(std::cos(weak)) * 0x1p-10f;
        const float im = static_cast<float>(std::sin(strong)) * 0.25f +
                         static_cast<float>(std::sin(weak)) * 0x1p-10f;
        block->data[2 * n] = re + noise();
        block->data[2 * n + 1] = im + noise();
    }
    auto window = std::make_unique<FftWindow>();
    fillFftWindow(*window);
    applyFftWindow(*window, *block);
    EXPECT_TRUE(fft(block->data.data(), 4096));
    return block;
}

std::string goldenPath(std::int32_t count) {
    return std::string(TARNWICK_TEST_DATA) + "/spectrum_packet_golden" +
           (count == 512 ? std::string() : "_" + std::to_string(count)) + ".xml";
}

// The level must be log10 rounded to float, whatever the C library: checked against the
// library's double log10 over every binade, subnormals included.
TEST(SpectrumLevel, IsLog10RoundedToFloat) {
    std::mt19937 gen(11);
    std::uniform_int_distribution<std::uint32_t> bits(1, 0x7F7FFFFFu); // every positive finite
    std::vector<float> powers(2000003); // not a multiple of 4 or 2: every tail is used
    for (float& x : powers) {
        const std::uint32_t b = bits(gen);
        std::memcpy(&x, &b, sizeof x);
    }
    std::size_t mismatches = 0;
    for (const float x : powers)
        if (log10Rounded(x) != static_cast<float>(std::log10(static_cast<double>(x))))
            ++mismatches;
    for (SimdPath path : {SimdPath::plain, SimdPath::sse2, SimdPath::avx}) {
        std::vector<float> levels(powers.size());
        if (!log10RoundedWith(path, powers.data(), levels.data(), levels.size()))
            continue;
        std::size_t pathMismatches = 0;
        for (std::size_t i = 0; i < powers.size(); ++i) {
            const float single = log10Rounded(powers[i]);
            if (std::memcmp(&single, &levels[i], sizeof single) != 0)
                ++pathMismatches;
        }
        EXPECT_EQ(0u, pathMismatches) << "path " << static_cast<int>(path);
    }
    EXPECT_EQ(0u, mismatches);
    for (float x : {1.0f, 10.0f, 100.0f, 1e10f, 0.1f, 2.0f, 0.5f, FLT_MIN, FLT_MAX,
                    std::numeric_limits<float>::denorm_min(), 1.4142135f, 1.4142137f}) {
        EXPECT_EQ(static_cast<float>(std::log10(static_cast<double>(x))), log10Rounded(x)) << x;
    }
    EXPECT_EQ(0.0f, log10Rounded(1.0f));
    EXPECT_EQ(2.0f, log10Rounded(100.0f));
}

// The default row, and a row of every bin, which must stay what it has always been.
TEST(SpectrumPacket, MatchesTheGoldenFileByteForByte) {
    const auto spectrum = goldenSpectrum();
    const bool write = std::getenv("TARNWICK_WRITE_GOLDEN") != nullptr;
    for (const std::int32_t count : {512, 4096}) {
        BridgeSettings settings;
        settings.SpectrumSampleSize = count;
        const SpectrumInputs in = spectrumInputs(settings, 14074000, 1407400);
        std::int32_t offset = 0;
        makeSpectrumXml(*spectrum, in, offset); // the first packet only sets the level offset
        const std::string packet = makeSpectrumXml(*spectrum, in, offset);

        if (write) {
            std::ofstream(goldenPath(count), std::ios::binary) << packet;
            continue;
        }
        std::ifstream file(goldenPath(count), std::ios::binary);
        ASSERT_TRUE(file) << goldenPath(count);
        const std::string golden((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
        EXPECT_EQ(golden, packet) << count;

        // The golden text itself: the tone at +3 kHz, bin 256, is the loudest value, the one
        // whose bins end with it.
        const Parsed p = parse(packet);
        ASSERT_EQ(static_cast<std::size_t>(count), p.values.size());
        std::size_t loudest = 0;
        for (std::size_t i = 0; i < p.values.size(); ++i)
            if (p.values[i] > p.values[loudest])
                loudest = i;
        EXPECT_EQ((4096u + 256u - 2048u) / (4096u / count) - 1u, loudest) << count;
    }
    if (write)
        GTEST_SKIP() << "golden files written";
}

TEST(SpectrumPacket, LayoutIsTheIndentedPrinterOutput) {
    IqBlock block;
    setLevel(block, 2048, 10.5);
    SpectrumInputs in = inputs(1);
    in.SpectrumScalingFactor = "0.3";
    std::int32_t offset = 0;
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Spectrum>\n"
              "    <app>WaterfallBandmap</app>\n"
              "    <Name>ExpertSDR</Name>\n"
              "    <LowScopeFrequency>14050</LowScopeFrequency>\n"
              "    <HighScopeFrequency>14098</HighScopeFrequency>\n"
              "    <ScalingFactor>0.3</ScalingFactor>\n"
              "    <DataCount>1</DataCount>\n"
              "    <SpectrumData>10</SpectrumData>\n"
              "</Spectrum>\n",
              makeSpectrumXml(block, in, offset));
}

// The packet must be exactly what the XML library prints for the same document.
TEST(SpectrumPacket, EqualsTheLibraryPrintingTheWholeDocument) {
    const auto spectrum = goldenSpectrum();
    const std::vector<TransverterEntry> list = BridgeSettings().Transverters;
    for (std::int32_t count : {1, 3, 300, 512, 4096}) {
        SpectrumInputs in = inputs(count);
        in.ddsFrequency = 28125000;
        in.n1mmFrequency = 43212500;
        in.SpectrumSampleRate = 96000;
        in.SpectrumScalingFactor = "0.3 & \"<q>\"";
        in.Transverters = &list;
        std::int32_t offset = -20;
        const std::string packet = makeSpectrumXml(*spectrum, in, offset);
        const Parsed p = parse(packet);

        tinyxml2::XMLDocument doc;
        doc.InsertEndChild(doc.NewDeclaration());
        tinyxml2::XMLElement* root = doc.NewElement("Spectrum");
        doc.InsertEndChild(root);
        const auto child = [&](const char* name, const std::string& text) {
            tinyxml2::XMLElement* e = doc.NewElement(name);
            e->SetText(text.c_str());
            root->InsertEndChild(e);
        };
        child("app", "WaterfallBandmap");
        child("Name", "ExpertSDR");
        child("LowScopeFrequency", p.low);
        child("HighScopeFrequency", p.high);
        child("ScalingFactor", p.scaling);
        child("DataCount", p.dataCount);
        child("SpectrumData", p.data);
        tinyxml2::XMLPrinter printer;
        doc.Print(&printer);
        EXPECT_EQ(std::string(printer.CStr()), packet) << count;
        EXPECT_EQ("432077", p.low);
        EXPECT_EQ("0.3 & \"<q>\"", p.scaling);
    }
}

TEST(SpectrumPacket, ScalingFactorIsCarriedAndEscaped) {
    IqBlock block;
    SpectrumInputs in = inputs(4);
    in.SpectrumScalingFactor = "0.3 & <more>";
    std::int32_t offset = 0;
    const std::string packet = makeSpectrumXml(block, in, offset);
    EXPECT_NE(std::string::npos,
              packet.find("<ScalingFactor>0.3 &amp; &lt;more&gt;</ScalingFactor>"));
    EXPECT_EQ("0.3 & <more>", parse(packet).scaling);
}

struct EdgeCase {
    std::int32_t dds;
    std::int32_t n1mm;
    std::int32_t rate;
    bool transverters;
    const char* low;
    const char* high;
};

TEST(SpectrumPacket, EdgesFollowTheDdsAndTheFirstMatchingTransverter) {
    const std::vector<TransverterEntry> defaults = BridgeSettings().Transverters;
    const EdgeCase cases[] = {
        {14074000, 1407400, 48000, false, "14050", "14098"},
        {14074123, 1407400, 48000, false, "14050.123", "14098.123"},
        {14074000, 1407400, 48000, true, "14050", "14098"},
        {28125000, 43212500, 96000, true, "432077", "432173"},
        {28125000, 2812500, 96000, true, "28077", "28173"},
        {28125000, 43212500, 96000, false, "28077", "28173"},
        // The first entry matches on its IF and fails on RF; the second is never looked at.
        {144200000, 14420000, 48000, true, "144176", "144224"},
        {0, 0, 48000, false, "-24", "24"},
        {10000000, 0, 192000, false, "9904", "10096"},
    };
    for (const EdgeCase& c : cases) {
        IqBlock block;
        SpectrumInputs in = inputs(512);
        in.ddsFrequency = c.dds;
        in.n1mmFrequency = c.n1mm;
        in.SpectrumSampleRate = c.rate;
        in.Transverters = c.transverters ? &defaults : nullptr;
        std::int32_t offset = 0;
        const Parsed p = parse(makeSpectrumXml(block, in, offset));
        EXPECT_EQ(c.low, p.low) << c.dds << " " << c.n1mm;
        EXPECT_EQ(c.high, p.high) << c.dds << " " << c.n1mm;
    }
}

TEST(SpectrumPacket, OnlyTheFirstTransverterWithALowerIfCounts) {
    // The second entry would match too, but the walk stops at the first one.
    const std::vector<TransverterEntry> list = {{50000.0, 28000.0}, {144000.0, 28000.0}};
    IqBlock block;
    SpectrumInputs in = inputs(8);
    in.ddsFrequency = 28100000;
    in.n1mmFrequency = 14410000; // 144100 kHz
    in.Transverters = &list;
    std::int32_t offset = 0;
    const Parsed p = parse(makeSpectrumXml(block, in, offset));
    EXPECT_EQ("50076", p.low);
    EXPECT_EQ("50124", p.high);
}

// Each bin's level encodes its own index, rising with it in one pass and falling in the other, so
// the row tells the last and the first bin of every value's group: level = floor(k / 4) - 500 + 0.5
// (or the same of 4095 - k), shown with an offset of -1000. A few bins hold NaN, which has no
// power: their values show the strongest of the others.
struct BinWalk {
    std::int32_t count;
    std::uint32_t step;
    std::int32_t divisor;
};

TEST(SpectrumPacket, EachValueIsTheStrongestOfTheBinsUpToItsOwn) {
    for (const bool rising : {true, false}) {
        const auto level = [rising](std::uint32_t k) {
            return static_cast<double>((rising ? k : 4095 - k) / 4) - 500 + 0.5;
        };
        const auto hole = [](std::uint32_t k) { return k == 2128 || k == 2129 || k == 3000; };
        IqBlock block;
        for (std::uint32_t k = 0; k < 4096; ++k)
            setLevel(block, k, level(k));
        for (const std::uint32_t k : {2128u, 2129u, 3000u})
            block.data[2 * k] = std::numeric_limits<float>::quiet_NaN();
        for (const BinWalk& w : {BinWalk{512, 8, 512}, BinWalk{300, 13, 315}, BinWalk{1, 4096, 1},
                                 BinWalk{4096, 1, 4096}, BinWalk{3, 1365, 3}}) {
            SpectrumInputs in = inputs(w.count);
            in.SpectrumCorrection = 7;
            std::int32_t offset = -1000;
            const std::string packet = makeSpectrumXml(block, in, offset);
            const Parsed p = parse(packet);
            EXPECT_EQ(std::to_string(w.count), p.dataCount);
            ASSERT_EQ(static_cast<std::size_t>(w.count), p.values.size()) << w.count;
            EXPECT_NE(',', p.data.back());
            EXPECT_EQ(std::string::npos, p.data.find(' '));
            long sum = 0;
            long previous = 0;
            for (std::int32_t i = 1; i <= w.count; ++i) {
                // The bins after the previous value's last, up to this one's.
                std::optional<double> strongest;
                for (std::uint32_t j = 1; j <= w.step; ++j) {
                    const std::uint32_t k = (2048 + (i - 1) * w.step + j) % 4096;
                    if (!hole(k))
                        strongest = std::max(strongest.value_or(-1e9), level(k));
                }
                // A value without power repeats the previous one and counts as FLT_MIN.
                const long shown = strongest ? static_cast<long>(*strongest + 1000) : previous;
                ASSERT_EQ(shown, p.values[i - 1])
                    << "count " << w.count << " value " << i << (rising ? " rising" : " falling");
                sum += strongest ? static_cast<long>(std::trunc(*strongest)) : -758;
                previous = shown;
            }
            EXPECT_EQ(sum / w.divisor - 7, offset) << w.count;
        }
    }
}

// The one value stands for every bin: it shows the strongest.
TEST(SpectrumPacket, SingleValueHasNoSeparator) {
    IqBlock block;
    setLevel(block, 2048, 33.5);
    setLevel(block, 0, 90.5);
    std::int32_t offset = 0;
    const Parsed p = parse(makeSpectrumXml(block, inputs(1), offset));
    EXPECT_EQ("90", p.data);
    EXPECT_EQ(90 - 40, offset);
}

TEST(SpectrumPacket, NegativeValuesRepeatThePreviousOutput) {
    // Eight values of 512 bins each, ending with bins 2560, 3072, 3584, 0, 512, 1024, 1536, 2048;
    // every other bin has no power.
    IqBlock block;
    setLevel(block, 2560, -3.5); // first value below 0: shows 0
    setLevel(block, 3072, 20.5);
    block.data[2 * 2700] = std::numeric_limits<float>::quiet_NaN(); // no power: hides nothing
    setLevel(block, 3584, -3.5);                                    // repeats 20
    // no bin from 3585 to 0 has power, a NaN none either: repeats 20
    block.data[2 * 4000 + 1] = std::numeric_limits<float>::quiet_NaN();
    block.data[2 * 512] = 1.0f; // level exactly 0: shown, and becomes the previous value
    setLevel(block, 1024, -10.5);
    setLevel(block, 1536, 7.5);
    block.data[2 * 2048] = std::numeric_limits<float>::quiet_NaN(); // no level: repeats 7
    std::int32_t offset = 0;
    const Parsed p = parse(makeSpectrumXml(block, inputs(8), offset));
    EXPECT_EQ("0,20,20,20,0,0,7,7", p.data);
    // Silent and NaN bins count as the smallest normal float, 20 * log10(FLT_MIN) = -758.6.
    EXPECT_EQ((-3 + 20 - 3 - 758 + 0 - 10 + 7 - 758) / 8 - 40, offset);
}

// A carrier anywhere between two bins that values end with shows within 1 dB (2 units) of one
// right on such a bin, in one of the two values next to it.
TEST(SpectrumPacket, CarriersBetweenTheBinsOfTwoValuesAllShow) {
    auto window = std::make_unique<FftWindow>();
    fillFftWindow(*window);
    const double pi = 3.14159265358979323846;
    const std::uint32_t lastBin = 2048 + 8 * 100; // value 100 of 512 ends with it
    long onTheBin = 0;
    for (const double bins : {0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0}) {
        auto block = std::make_unique<IqBlock>();
        for (std::uint32_t n = 0; n < 4096; ++n) {
            const double phase = 2 * pi * (lastBin + bins) * n / 4096;
            block->data[2 * n] = static_cast<float>(0.25 * std::cos(phase));
            block->data[2 * n + 1] = static_cast<float>(0.25 * std::sin(phase));
        }
        windowAndFft(*window, *block);
        std::int32_t offset = -200;
        const Parsed p = parse(makeSpectrumXml(*block, inputs(512), offset));
        const auto peak = std::max_element(p.values.begin(), p.values.end());
        const long index = static_cast<long>(peak - p.values.begin());
        EXPECT_TRUE(index == 99 || index == 100) << bins << " bins: value index " << index;
        if (bins == 0.0)
            onTheBin = *peak;
        EXPECT_LE(std::abs(*peak - onTheBin), 2)
            << bins << " bins: " << *peak << " against " << onTheBin;
    }
}

TEST(SpectrumPacket, OffsetFollowsThePreviousPacket) {
    IqBlock block;
    for (std::uint32_t k = 0; k < 4096; ++k)
        setLevel(block, k, 60.5);
    std::int32_t offset = 0;
    EXPECT_EQ(std::vector<long>(512, 60),
              parse(makeSpectrumXml(block, inputs(512), offset)).values);
    EXPECT_EQ(60 - 40, offset);
    EXPECT_EQ(std::vector<long>(512, 40),
              parse(makeSpectrumXml(block, inputs(512), offset)).values);
    EXPECT_EQ(20, offset);
}

TEST(SpectrumPacket, ExtremeValuesStayDefined) {
    IqBlock block;
    block.data[2 * 2048] = 1e30f; // the power overflows to infinity: counts as the largest float
    SpectrumInputs in = inputs(1);
    in.SpectrumCorrection = std::numeric_limits<std::int32_t>::min();
    std::int32_t offset = 0;
    EXPECT_EQ("770", parse(makeSpectrumXml(block, in, offset)).data);
    EXPECT_EQ(std::numeric_limits<std::int32_t>::max(), offset);
    // A huge offset pushes every level below zero; the row shows zeros, not garbage.
    EXPECT_EQ("0", parse(makeSpectrumXml(block, in, offset)).data);
    // A huge negative one pushes them past 16 bits; they wrap as unsigned 16-bit values.
    offset = -100000;
    in.SpectrumCorrection = 0;
    EXPECT_EQ(std::to_string((100000 + 770) % 65536),
              parse(makeSpectrumXml(block, in, offset)).data);
}

TEST(SpectrumPacket, SampleSizeIsHeldBetweenOneAnd4096) {
    EXPECT_EQ(1, clampSpectrumSampleSize(0));
    EXPECT_EQ(1, clampSpectrumSampleSize(-5));
    EXPECT_EQ(1, clampSpectrumSampleSize(1));
    EXPECT_EQ(512, clampSpectrumSampleSize(512));
    EXPECT_EQ(4096, clampSpectrumSampleSize(4096));
    EXPECT_EQ(4096, clampSpectrumSampleSize(4097));
    EXPECT_EQ(4096, clampSpectrumSampleSize(std::numeric_limits<std::int32_t>::max()));

    IqBlock block;
    std::int32_t offset = 0;
    const Parsed zero = parse(makeSpectrumXml(block, inputs(0), offset));
    EXPECT_EQ("1", zero.dataCount);
    EXPECT_EQ(1u, zero.values.size());
    const Parsed big = parse(makeSpectrumXml(block, inputs(5000), offset));
    EXPECT_EQ("4096", big.dataCount);
    EXPECT_EQ(4096u, big.values.size());
}

TEST(SpectrumPacket, InputsComeFromTheSettings) {
    BridgeSettings settings;
    settings.SpectrumSampleRate = 96000;
    settings.SpectrumSampleSize = 256;
    settings.SpectrumScalingFactor = "0.5";
    settings.SpectrumCorrection = 12;
    const SpectrumInputs in = spectrumInputs(settings, 28125000, 43212500);
    EXPECT_EQ(28125000, in.ddsFrequency);
    EXPECT_EQ(43212500, in.n1mmFrequency);
    EXPECT_EQ(96000, in.SpectrumSampleRate);
    EXPECT_EQ(256, in.SpectrumSampleSize);
    EXPECT_EQ("0.5", in.SpectrumScalingFactor);
    EXPECT_EQ(12, in.SpectrumCorrection);
    EXPECT_EQ(&settings.Transverters, in.Transverters);
}

} // namespace
