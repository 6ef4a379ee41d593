#include "spots/bands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

#include <fmt/format.h>

namespace {

// The edges of the three regions together, so that a QSO anywhere counts.
constexpr AmateurBand kBands[] = {
    {0.136, 135.7, 137.8},
    {0.472, 472.0, 479.0},
    {1.8, 1800.0, 2000.0},
    {3.5, 3500.0, 4000.0},
    {5.0, 5250.0, 5450.0},
    {7.0, 7000.0, 7300.0},
    {10.0, 10100.0, 10150.0},
    {14.0, 14000.0, 14350.0},
    {18.0, 18068.0, 18168.0},
    {21.0, 21000.0, 21450.0},
    {24.0, 24890.0, 24990.0},
    {28.0, 28000.0, 29700.0},
    {50.0, 50000.0, 54000.0},
    {70.0, 69900.0, 71500.0},
    {144.0, 144000.0, 148000.0},
    {222.0, 219000.0, 225000.0},
    {420.0, 420000.0, 450000.0},
    {902.0, 902000.0, 928000.0},
    {1240.0, 1240000.0, 1300000.0},
    {2300.0, 2300000.0, 2450000.0},
    {3300.0, 3300000.0, 3500000.0},
    {5650.0, 5650000.0, 5925000.0},
    {10000.0, 10000000.0, 10500000.0},
    {24000.0, 24000000.0, 24250000.0},
};

} // namespace

const AmateurBand* bandAt(double kHz) {
    for (const AmateurBand& band : kBands)
        if (kHz >= band.lowKHz && kHz <= band.highKHz)
            return &band;
    return nullptr;
}

const AmateurBand* bandNamed(std::string_view text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(),
                                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; }))
        return nullptr;
    double mhz = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mhz);
    if (error != std::errc() || end != text.data() + text.size())
        return nullptr;
    for (const AmateurBand& band : kBands) {
        if (std::fabs(band.mhz - mhz) < 1e-6 ||
            (mhz * 1000.0 >= band.lowKHz && mhz * 1000.0 <= band.highKHz))
            return &band;
    }
    return nullptr;
}

BandFilter BandFilter::ofRadios(const std::vector<std::optional<double>>& radioKHz) {
    BandFilter filter;
    for (const std::optional<double>& kHz : radioKHz) {
        const AmateurBand* band = kHz ? bandAt(*kHz) : nullptr;
        if (band != nullptr &&
            std::find(filter.bands_.begin(), filter.bands_.end(), band) == filter.bands_.end())
            filter.bands_.push_back(band);
    }
    return filter;
}

bool BandFilter::passes(double spotKHz) const {
    if (bands_.empty())
        return true;
    const AmateurBand* band = bandAt(spotKHz);
    return band == nullptr || std::find(bands_.begin(), bands_.end(), band) != bands_.end();
}

std::string BandFilter::describe() const {
    if (bands_.empty())
        return "every band";
    std::string text;
    for (std::size_t i = 0; i < bands_.size(); ++i)
        text += fmt::format("{}{}", i == 0 ? "" : " and ", bands_[i]->mhz);
    return text + " MHz";
}
