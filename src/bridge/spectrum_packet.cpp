#include "bridge/spectrum_packet.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

constexpr std::uint32_t kBins = static_cast<std::uint32_t>(IqBlock::kSamples);

// log10 in double, then rounded: the same float on every C library, where log10f is not.
float level(float power) {
    return static_cast<float>(std::log10(static_cast<double>(power)));
}

double centreKhz(const SpectrumInputs& in) {
    double f = in.ddsFrequency / 1000.0;
    if (in.Transverters == nullptr)
        return f;
    for (const TransverterEntry& entry : *in.Transverters) {
        if (entry.ifreq <= f) {
            if (in.n1mmFrequency / 100.0 >= entry.rf)
                f = f + entry.rf - entry.ifreq;
            break;
        }
    }
    return f;
}

std::string formatKhz(double khz) {
    char text[32];
    const auto result =
        std::to_chars(text, text + sizeof text, khz, std::chars_format::general, 17);
    return std::string(text, result.ptr);
}

}  // namespace

std::int32_t clampSpectrumSampleSize(std::int32_t sampleSize) {
    return std::clamp(sampleSize, kMinSpectrumSampleSize, kMaxSpectrumSampleSize);
}

SpectrumInputs spectrumInputs(const BridgeSettings& settings, std::int32_t ddsFrequency,
                              std::int32_t n1mmFrequency) {
    SpectrumInputs in;
    in.ddsFrequency = ddsFrequency;
    in.n1mmFrequency = n1mmFrequency;
    in.SpectrumSampleRate = settings.SpectrumSampleRate;
    in.SpectrumSampleSize = settings.SpectrumSampleSize;
    in.SpectrumScalingFactor = settings.SpectrumScalingFactor;
    in.SpectrumCorrection = settings.SpectrumCorrection;
    in.Transverters = &settings.Transverters;
    return in;
}

SpectrumPacket makeSpectrumXml(const IqBlock& spectrum, const SpectrumInputs& in,
                               std::int32_t& levelOffset) {
    const double f = centreKhz(in);
    const double half = in.SpectrumSampleRate * 0.5 / 1000;
    const std::string low = formatKhz(f - half);
    const std::string high = formatKhz(half + f);

    const std::int32_t count = clampSpectrumSampleSize(in.SpectrumSampleSize);
    const std::uint32_t step = kBins / static_cast<std::uint32_t>(count);
    // A bin without power (or with a NaN) has no level: it repeats the previous output and
    // counts in the average as the smallest normal float. An infinite power counts as the
    // largest float.
    const float silentLevel = level(FLT_MIN);
    const float loudestLevel = level(FLT_MAX);

    // At most "65535," per value.
    std::string values(static_cast<std::size_t>(count) * 6, '\0');
    char* out = values.data();
    char* const end = out + values.size();
    std::uint32_t index = kBins / 2;
    double previous = 0.0;
    std::int32_t sum = 0;
    const double offset = levelOffset;
    for (std::int32_t i = 0; i < count; ++i) {
        index += step;
        const std::uint32_t k = index % kBins;
        const float re = spectrum.data[2 * k];
        const float im = spectrum.data[2 * k + 1];
        const float power = re * re + im * im;
        double shown;
        if (power > 0.0f) {
            const float l = power <= FLT_MAX ? level(power) : loudestLevel;
            const double v = 20 * static_cast<double>(l);
            sum += static_cast<std::int32_t>(v);
            shown = v - offset;
            if (shown < 0)
                shown = previous;
            else
                previous = shown;
        } else {
            sum += static_cast<std::int32_t>(20 * static_cast<double>(silentLevel));
            shown = previous;
        }
        // shown is never negative and stays far inside 64 bits; the cast keeps the low 16 bits.
        const auto value = static_cast<std::uint16_t>(static_cast<std::int64_t>(shown));
        out = std::to_chars(out, end, value).ptr;
        *out++ = ',';
    }
    values.resize(static_cast<std::size_t>(out - values.data()) - 1);

    // 64-bit, then held to 32: an extreme correction setting must not overflow.
    const std::int64_t next = static_cast<std::int64_t>(sum / static_cast<std::int32_t>(kBins / step)) -
                              static_cast<std::int64_t>(in.SpectrumCorrection);
    levelOffset = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        next, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));

    char countText[16];
    *std::to_chars(countText, countText + sizeof countText - 1, count).ptr = '\0';
    const std::string scaling(in.SpectrumScalingFactor);

    tinyxml2::XMLPrinter printer;
    printer.PushDeclaration("xml version=\"1.0\" encoding=\"UTF-8\"");
    printer.OpenElement("Spectrum");
    const auto child = [&printer](const char* name, const char* text) {
        printer.OpenElement(name);
        printer.PushText(text);
        printer.CloseElement();
    };
    child("app", "WaterfallBandmap");
    child("Name", "ExpertSDR");
    child("LowScopeFrequency", low.c_str());
    child("HighScopeFrequency", high.c_str());
    child("ScalingFactor", scaling.c_str());
    child("DataCount", countText);
    child("SpectrumData", values.c_str());
    printer.CloseElement();
    return SpectrumPacket(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
}
