// One spectrum display: one receiver of the SDR, its IQ frames paced and gathered into blocks,
// windowed and transformed, and sent to N1MM+ under a name of its own, its band edges following
// the SDR's frequency for that receiver, the N1MM+ radio it belongs to and the rate its stream
// comes at. A station with two radios, or two receivers on one radio, runs two of them side by
// side, each with everything of its own.
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
    // Each spectrum the mean power of every block since the last one, rather than one block.
    bool averaging = false;
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
// SpectrumName keeps the first's default name; a SpectrumAveraging other than true or false
// averages nothing. Nothing else changes.
SpectrumPlan planSpectra(const BridgeSettings& settings, bool secondSdr = false);

class Spectrum {
public:
    Spectrum(const BridgeSettings& settings, SpectrumSource source);

    const SpectrumSource& source() const { return source_; }

    // Fills the window; done once before the first block.
    void initFft();

    enum class Dds { otherReceiver, tuned, noFrequency };
    // The SDR's "dds" arguments: the frequency when they are for this receiver. Until N1MM+
    // reports this spectrum's radio, the radio is taken to be where the SDR is. When averaging,
    // a new frequency starts the mean afresh, so that the old band is not smeared into the new.
    Dds takeDds(std::string_view arguments);
    // N1MM+'s frequency of the radio this spectrum follows, tens of hertz.
    void takeRadioFrequency(std::int32_t tensOfHz) { n1mmFrequency_ = tensOfHz; }

    // One IQ frame of this spectrum's receiver, arriving at nowMillis on the loop's steady
    // clock. A finished block joins the queue under queueLock; when averaging, it is transformed
    // at once and added to the mean instead.
    IqOutcome takeFrame(const std::uint8_t* data, std::size_t size, std::int64_t nowMillis,
                        platform::Lock& queueLock);
    // A spectrum waits for step().
    bool spectrumWaiting() const { return spectrumDue_ || !queue_.empty(); }

    struct Transforms {
        std::uint32_t count = 0;
        std::uint32_t millis = 0; // how long the windows and transforms took
    };
    // Takes the waiting block (under queueLock), windows and transforms it, or takes the mean
    // that is due, and builds its packet; transforms tells what the spectrum cost since the last
    // packet. False when no spectrum waits.
    bool step(platform::Lock& queueLock, SpectrumPacket& packet, Transforms& transforms);

    // The packet for the spectrum last made; moves the level offset on.
    SpectrumPacket makeXML();

    std::int32_t ddsFrequency() const { return ddsFrequency_; }
    std::int32_t n1mmFrequency() const { return n1mmFrequency_; }
    // The rate of the stream's last frame taken; SpectrumSampleRate until the first.
    std::int32_t streamRate() const { return streamRate_; }
    // What the next packet subtracts from every level.
    std::int32_t levelOffset() const { return levelOffset_; }

private:
    // Windows and transforms fftBuffer_ in place.
    void transform();
    void restartMean();

    const BridgeSettings& settings_;
    SpectrumSource source_;
    std::int32_t sampleSize_; // SpectrumSampleSize held to 1..4096
    IqIntake intake_;
    BlockQueue queue_;
    IqBlock fftBuffer_;
    FftWindow window_{};
    PowerSpectrum powers_{};    // the spectrum the next packet shows
    std::int32_t powersRate_;   // the stream's rate for it
    PowerSpectrum powerSums_{}; // averaging: the blocks since the last spectrum, bin by bin
    std::int32_t blocksSummed_ = 0;
    bool spectrumDue_ = false; // averaging: powers_ holds a mean that step() has not sent
    Transforms transforms_;    // since the last packet
    std::int32_t streamRate_;
    std::int32_t ddsFrequency_ = 0;  // Hz
    std::int32_t n1mmFrequency_ = 0; // tens of Hz
    std::int32_t levelOffset_ = 0;
};
