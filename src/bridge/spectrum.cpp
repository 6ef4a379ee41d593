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
      intake_(settings.SpectrumFrequency, source_.receiver) {}

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
    ddsFrequency_ = *hz;
    // N1MM+ reports tens of hertz; until it does, follow the SDR.
    if (n1mmFrequency_ == 0)
        n1mmFrequency_ = *hz / 10;
    return Dds::tuned;
}

IqOutcome Spectrum::takeFrame(const std::uint8_t* data, std::size_t size, std::int64_t nowMillis,
                              platform::Lock& queueLock) {
    IqOutcome outcome = intake_.accept(data, size, nowMillis, queue_.empty());
    if (outcome.verdict == IqVerdict::blockCompleted) {
        platform::LockGuard guard(queueLock);
        queue_.push(intake_.completedBlock());
    }
    return outcome;
}

bool Spectrum::step(platform::Lock& queueLock, SpectrumPacket& packet,
                    std::uint32_t& transformMillis) {
    if (queue_.empty())
        return false;
    {
        platform::LockGuard guard(queueLock);
        if (!queue_.popInto(fftBuffer_))
            return false;
    }
    const std::uint32_t t0 = platform::tickMillis();
    windowAndFft(window_, fftBuffer_);
    spectrumBuffer_ = fftBuffer_;
    transformMillis = platform::tickMillis() - t0;
    packet = makeXML();
    return true;
}

SpectrumPacket Spectrum::makeXML() {
    SpectrumInputs in = spectrumInputs(settings_, ddsFrequency_, n1mmFrequency_);
    in.SpectrumSampleSize = sampleSize_;
    in.Name = source_.name;
    SpectrumPacket text = makeSpectrumXml(spectrumBuffer_, in, levelOffset_);
    LOG_DEBUG("Orvex::makeXML", "{}", text);
    return text;
}
