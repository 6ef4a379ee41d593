// The amateur bands, by the edges of the three regions together, and the rule that keeps an SDR
// program to the spots of its radios' bands. Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct AmateurBand {
    double mhz; // as N1MM+ names it
    double lowKHz;
    double highKHz;
};

// The band on which a frequency in kHz lies, edges included; null on none.
const AmateurBand* bandAt(double kHz);
// The band that a QSO's band field names (MHz: 1.8, 3.5, 5, 7, ... 144 and up): by its name, or
// by where that many MHz lie (N1MM+ names 432 and 1296 MHz so); null for any other text.
const AmateurBand* bandNamed(std::string_view text);

// Which spots an SDR program is sent when it is to show only the bands of the N1MM+ radios it
// serves. A radio that N1MM+ has not reported yet, or reported off every band, brings no band;
// while none of its radios brings one, the SDR is sent every spot. A spot on no band (or whose
// N1MM+ frequency is not known) is sent to every SDR.
class BandFilter {
public:
    // Every spot.
    BandFilter() = default;
    // The radios' N1MM+ frequencies in kHz, empty for one not reported yet.
    static BandFilter ofRadios(const std::vector<std::optional<double>>& radioKHz);

    bool passes(double spotKHz) const;
    bool passesAll() const { return bands_.empty(); }
    // "every band", or the bands in MHz: "14 MHz", "14 and 7 MHz".
    std::string describe() const;

    bool operator==(const BandFilter& other) const { return bands_ == other.bands_; }
    bool operator!=(const BandFilter& other) const { return !(*this == other); }

private:
    std::vector<const AmateurBand*> bands_; // in the order of the radios, each once
};
