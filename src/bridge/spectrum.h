// One spectrum display: one receiver of the SDR, its IQ frames paced and gathered into blocks,
// windowed and transformed, and sent to N1MM+ under a name of its own, its band edges following
// the SDR's frequency for that receiver and the N1MM+ radio it belongs to. A station with two
// radios, or two receivers on one radio, runs two of them side by side.
#pragma once

#include "bridge/fft.h"
#include "bridge/iq_block.h"
#include "bridge/iq_intake.h"
#include "bridge/spectrum_packet.h"
#include "platform/sync.h"
#include "settings/settings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kDefaultSpectrumName = "ExpertSDR";
inline constexpr const char* kDefaultSpectrum2Name = "ExpertSDR 2";
inline constexpr std::int32_t kDefaultSpectrum2RadioNr = 2;
// The receivers that a second spectrum may take, and the radios N1MM+ reports.
inline constexpr std::int32_t kHighestSpectrum2Receiver = 7;
inline constexpr std::int32_t kHighestRadioNr = 2;

// Which receiver a spectrum shows and how it is labelled.
struct SpectrumSource {
    std::size_t link = 0; // the TCI link of the SDR program: 0 the first, 1 the second
    std::int32_t receiver = 0;
    std::int32_t radio = 1; // the N1MM+ RadioNr whose frequency picks the transverter
    std::string name = kDefaultSpectrumName;
    // "dds" names its receiver in full. The first spectrum keeps its older rule, which compares
    // the first character only (so only receivers 0 to 9 match).
    bool wholeReceiverNumber = false;
};

// The spectra that the settings ask for, and why a setting was not used, one line each.
struct SpectrumPlan {
    std::vector<SpectrumSource> sources; // none when the display is off
    std::vector<std::string> problems;
};

// The first spectrum always runs while the display is on, from the first SDR program. The second
// comes from the second SDR program when there is one (its receiver 0 unless
// Spectrum2ReceiverNumber says otherwise), or else from another receiver of the first when
// Spectrum2ReceiverNumber is present; either way when every one of its values can be used. A
// value that cannot be (a receiver outside 0 to 7 or the first's own on the same SDR, a radio
// other than 1 or 2, an empty or repeated name) keeps the second spectrum off; an empty
// SpectrumName keeps the first's default name. Nothing else changes.
SpectrumPlan planSpectra(const BridgeSettings& settings, bool secondSdr = false);

class Spectrum {
public:
    Spectrum(const BridgeSettings& settings, SpectrumSource source);

    const SpectrumSource& source() const { return source_; }

    // Fills the window; done once before the first block.
    void initFft();

    enum class Dds { otherReceiver, tuned, noFrequency };
    // The SDR's "dds" arguments: the frequency when they are for this receiver. Until N1MM+
    // reports this spectrum's radio, the radio is taken to be where the SDR is.
    Dds takeDds(std::string_view arguments);
    // N1MM+'s frequency of the radio this spectrum follows, tens of hertz.
    void takeRadioFrequency(std::int32_t tensOfHz) { n1mmFrequency_ = tensOfHz; }

    // One IQ frame of this spectrum's receiver, arriving at nowMillis on the loop's steady
    // clock. A finished block joins the queue under queueLock.
    IqOutcome takeFrame(const std::uint8_t* data, std::size_t size, std::int64_t nowMillis,
                        platform::Lock& queueLock);
    bool blockWaiting() const { return !queue_.empty(); }

    // Takes the waiting block (under queueLock), windows and transforms it and builds its
    // packet; transformMillis is how long the window and transform took. False when no block
    // waits.
    bool step(platform::Lock& queueLock, SpectrumPacket& packet, std::uint32_t& transformMillis);

    // The packet for the spectrum last transformed; moves the level offset on.
    SpectrumPacket makeXML();

    std::int32_t ddsFrequency() const { return ddsFrequency_; }
    std::int32_t n1mmFrequency() const { return n1mmFrequency_; }

private:
    const BridgeSettings& settings_;
    SpectrumSource source_;
    std::int32_t sampleSize_; // SpectrumSampleSize held to 1..4096
    IqIntake intake_;
    BlockQueue queue_;
    IqBlock fftBuffer_;
    IqBlock spectrumBuffer_;
    FftWindow window_{};
    std::int32_t ddsFrequency_ = 0;  // Hz
    std::int32_t n1mmFrequency_ = 0; // tens of Hz
    std::int32_t levelOffset_ = 0;
};
