#include "bridge/spectrum.h"

#include "bridge/tci_message.h"
#include "diag/log.h"
#include "platform/clock.h"

#include <charconv>
#include <utility>

namespace {

// A number that is all of the text but the blanks around it; a new element need not be read
// as loosely as the old ones are.
std::optional<std::int32_t> wholeNumber(std::string_view text) {
    const std::string trimmed = trimBlanks(text);
    std::int32_t value = 0;
    const char* end = trimmed.data() + trimmed.size();
    const auto [stop, error] = std::from_chars(trimmed.data(), end, value);
    if (trimmed.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::string inQuotes(std::string_view text) {
    return "\"" + tlog::escapeControls(text) + "\"";
}

} // namespace

SpectrumPlan planSpectra(const BridgeSettings& settings, bool secondSdr) {
    SpectrumPlan plan;
    if (!settings.SpectrumDisplayEnabled)
        return plan;
    SpectrumSource first;
    first.receiver = settings.SpectrumReceiverNumber;
    if (settings.SpectrumAveraging) {
        const std::string averaging = trimBlanks(*settings.SpectrumAveraging);
        first.averaging = averaging == "true";
        if (!first.averaging && averaging != "false")
            plan.problems.push_back("SpectrumAveraging " + inQuotes(*settings.SpectrumAveraging) +
                                    " is not true or false; the spectra are not averaged");
    }
    // Names are used without the blanks and line breaks around them, as every other value is:
    // an element written over several lines still names the source that N1MM+ shows.
    if (settings.SpectrumName) {
        if (trimBlanks(*settings.SpectrumName).empty())
            plan.problems.push_back(std::string("SpectrumName is empty; the spectrum keeps the "
                                                "name ") +
                                    kDefaultSpectrumName);
        else
            first.name = trimBlanks(*settings.SpectrumName);
    }
    plan.sources.push_back(first);
    if (!settings.Spectrum2ReceiverNumber && !secondSdr)
        return plan;

    const auto refuse = [&plan](std::string why) {
        plan.problems.push_back(std::move(why) + "; the second spectrum stays off");
        return plan;
    };
    SpectrumSource second;
    second.link = secondSdr ? 1 : 0;
    second.wholeReceiverNumber = true;
    second.averaging = first.averaging;
    const std::optional<std::int32_t> receiver =
        settings.Spectrum2ReceiverNumber ? wholeNumber(*settings.Spectrum2ReceiverNumber)
                                         : std::optional<std::int32_t>(0);
    if (!receiver || *receiver < 0 || *receiver > kHighestSpectrum2Receiver)
        return refuse("Spectrum2ReceiverNumber " + inQuotes(*settings.Spectrum2ReceiverNumber) +
                      " is not a receiver from 0 to " + std::to_string(kHighestSpectrum2Receiver));
    // The second SDR program's receivers are its own, whatever their numbers.
    if (*receiver == first.receiver && !secondSdr)
        return refuse("Spectrum2ReceiverNumber " + std::to_string(*receiver) +
                      " is the receiver of the first spectrum (SpectrumReceiverNumber)");
    second.receiver = *receiver;
    second.radio = kDefaultSpectrum2RadioNr;
    if (settings.Spectrum2RadioNr) {
        const std::optional<std::int32_t> radio = wholeNumber(*settings.Spectrum2RadioNr);
        if (!radio || *radio < 1 || *radio > kHighestRadioNr)
            return refuse("Spectrum2RadioNr " + inQuotes(*settings.Spectrum2RadioNr) +
                          " is not an N1MM+ radio from 1 to " + std::to_string(kHighestRadioNr));
        second.radio = *radio;
    }
    second.name = kDefaultSpectrum2Name;
    if (settings.Spectrum2Name) {
        if (trimBlanks(*settings.Spectrum2Name).empty())
            return refuse("Spectrum2Name is empty");
        second.name = trimBlanks(*settings.Spectrum2Name);
    }
    // N1MM+ tells its sources apart by name alone: one name would mix the two receivers.
    if (second.name == first.name)
        return refuse("Spectrum2Name " + inQuotes(second.name) + " is the first spectrum's name");
    plan.sources.push_back(std::move(second));
    return plan;
}

Spectrum::Spectrum(const BridgeSettings& settings, SpectrumSource source)
    : settings_(settings), source_(std::move(source)),
      sampleSize_(clampSpectrumSampleSize(settings.SpectrumSampleSize)),
      intake_(settings.SpectrumFrequency, source_.receiver, source_.averaging),
      powersRate_(settings.SpectrumSampleRate), streamRate_(settings.SpectrumSampleRate) {}

void Spectrum::initFft() {
    fillFftWindow(window_);
}

Spectrum::Dds Spectrum::takeDds(std::string_view arguments) {
    const bool ours = source_.wholeReceiverNumber
                          ? ddsForReceiverNumber(arguments, source_.receiver)
                          : ddsForReceiver(arguments, source_.receiver);
    if (!ours)
        return Dds::otherReceiver;
    const std::optional<std::int32_t> hz = ddsFrequencyAfterReceiver(arguments);
    if (!hz)
        return Dds::noFrequency;
    if (source_.averaging && *hz != ddsFrequency_)
        restartMean();
    ddsFrequency_ = *hz;
    // N1MM+ reports tens of hertz; until it does, follow the SDR.
    if (n1mmFrequency_ == 0)
        n1mmFrequency_ = *hz / 10;
    return Dds::tuned;
}

IqOutcome Spectrum::takeFrame(const std::uint8_t* data, std::size_t size, std::int64_t nowMillis,
                              platform::Lock& queueLock) {
    IqOutcome outcome = intake_.accept(data, size, nowMillis, queue_.empty());
    if (outcome.verdict != IqVerdict::copied && outcome.verdict != IqVerdict::blockCompleted)
        return outcome;
    // The samples taken come at the rate their frame says; a mean holds one rate only.
    const std::int32_t rate =
        streamSampleRate(readIqFrameHeader(data, size)->sampleRate, settings_.SpectrumSampleRate);
    if (rate != streamRate_) {
        streamRate_ = rate;
        if (source_.averaging) {
            restartMean();
            return outcome;
        }
    }
    if (outcome.verdict != IqVerdict::blockCompleted)
        return outcome;
    if (!source_.averaging) {
        platform::LockGuard guard(queueLock);
        queue_.push(intake_.completedBlock());
        return outcome;
    }
    fftBuffer_ = intake_.completedBlock();
    transform();
    addBinPowers(fftBuffer_, powerSums_);
    ++blocksSummed_;
    if (outcome.spectrumDue) {
        meanPowers(powerSums_, blocksSummed_, powers_);
        powersRate_ = streamRate_;
        powerSums_.fill(0.0f);
        blocksSummed_ = 0;
        spectrumDue_ = true;
    }
    return outcome;
}

void Spectrum::transform() {
    const std::uint32_t t0 = platform::tickMillis();
    windowAndFft(window_, fftBuffer_);
    transforms_.millis += platform::tickMillis() - t0;
    transforms_.count += 1;
}

void Spectrum::restartMean() {
    powerSums_.fill(0.0f);
    blocksSummed_ = 0;
    spectrumDue_ = false;
    intake_.dropBlock();
}

bool Spectrum::step(platform::Lock& queueLock, SpectrumPacket& packet, Transforms& transforms) {
    if (!spectrumDue_) {
        if (queue_.empty())
            return false;
        {
            platform::LockGuard guard(queueLock);
            if (!queue_.popInto(fftBuffer_))
                return false;
        }
        transform();
        binPowers(fftBuffer_, powers_);
        powersRate_ = streamRate_;
    }
    spectrumDue_ = false;
    transforms = transforms_;
    transforms_ = {};
    packet = makeXML();
    return true;
}

SpectrumPacket Spectrum::makeXML() {
    SpectrumInputs in = spectrumInputs(settings_, ddsFrequency_, n1mmFrequency_);
    in.SpectrumSampleRate = powersRate_;
    in.SpectrumSampleSize = sampleSize_;
    in.Name = source_.name;
    SpectrumPacket text = makeSpectrumXml(powers_, in, levelOffset_);
    LOG_DEBUG("Orvex::makeXML", "{}", text);
    return text;
}
