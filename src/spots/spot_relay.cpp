#include "spots/spot_relay.h"

#include "spots/worked.h"
#include "websocket/utf8.h"

#include <tinyxml2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// What cannot travel inside a TCI command.
bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// Skips the blanks and the one optional sign that come before a number.
std::string_view afterBlanksAndSign(std::string_view text, bool& negative) {
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    return text.substr(at);
}

// The parser passes bytes through as they came and decodes character references without
// asking whether the code point may be encoded: whatever is not UTF-8 is mended here, so that the
// log, the state file and the SDR all see the same text.
std::string childText(const tinyxml2::XMLElement& parent, const char* name) {
    const tinyxml2::XMLElement* child = parent.FirstChildElement(name);
    const char* text = child != nullptr ? child->GetText() : nullptr;
    return text != nullptr ? wsclient::repairedUtf8(text) : std::string(kNoneText);
}

// now > received + lifeTime, worked out without forming a sum that could overflow.
bool outlived(std::int64_t received, std::int32_t lifeTime, std::int64_t now) {
    if (now >= received) {
        const std::uint64_t since =
            static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(received);
        return lifeTime < 0 || since > static_cast<std::uint64_t>(lifeTime);
    }
    const std::uint64_t ahead =
        static_cast<std::uint64_t>(received) - static_cast<std::uint64_t>(now);
    return lifeTime < 0 && ahead < static_cast<std::uint64_t>(-static_cast<std::int64_t>(lifeTime));
}

// The longest whole-hertz text of a double: DBL_MAX has 309 digits, and a sign comes first.
constexpr std::size_t kLongestHertz = 310;
// "spot:", four commas and the final ';', the longest mode word and a 64-bit colour in decimal.
constexpr std::size_t kLongestSpotFrame = 5 + 4 + 1 + 4 + 20;
static_assert(kLongestSpotFrame + kCallSignLimit + kLongestHertz < kTciCommandLimit,
              "a spot command must always have room for the start of its comment");

// Everything of the add command before the comment.
std::string spotCommandHead(const SpotEntry& entry) {
    // Whole hertz, rounded half to even as printf does, and never "-0".
    double hz = std::nearbyint(entry.frequencyHz);
    if (hz == 0.0) {
        hz = 0.0;
    }
    char digits[kLongestHertz];
    const auto printed =
        std::to_chars(digits, digits + sizeof digits, hz, std::chars_format::fixed, 0);
    const std::string_view frequency =
        printed.ec == std::errc() ? std::string_view(digits, printed.ptr - digits) : "0";

    std::string head = "spot:";
    head += tciSafeText(entry.dxcall);
    head += ',';
    head += tciSafeText(entry.mode);
    head += ',';
    head += frequency;
    head += ',';
    head += std::to_string(entry.colour);
    head += ',';
    return head;
}

// Bytes of comment that fit in a command with this head and its final ';'.
std::size_t commentRoom(const std::string& head) {
    return head.size() < kTciCommandLimit ? kTciCommandLimit - head.size() - 1 : 0;
}

constexpr std::string_view kPlaceholders[] = {"comment", "spotter", "status", "time", "call"};

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view withoutBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lowered(std::string_view text) {
    std::string lower(withoutBlanks(text));
    std::transform(lower.begin(), lower.end(), lower.begin(), lowerAscii);
    return lower;
}

// HHMM of N1MM+'s "yyyy/MM/dd HH:mm:ss", as it wrote them; empty when the text is not that.
std::string hoursAndMinutes(std::string_view timestamp) {
    const std::size_t blank = timestamp.find(' ');
    if (blank == std::string_view::npos || timestamp.size() < blank + 6 ||
        timestamp[blank + 3] != ':')
        return std::string();
    std::string hhmm;
    for (const std::size_t at : {blank + 1, blank + 2, blank + 4, blank + 5}) {
        if (!isDigit(timestamp[at]))
            return std::string();
        hhmm += timestamp[at];
    }
    return hhmm;
}

} // namespace

std::optional<std::string> unknownSpotTextPlaceholder(std::string_view text) {
    for (std::size_t open = text.find('{'); open != std::string_view::npos;
         open = text.find('{', open + 1)) {
        const std::size_t close = text.find('}', open);
        const std::string_view name = close == std::string_view::npos
                                          ? text.substr(open)
                                          : text.substr(open + 1, close - open - 1);
        if (close == std::string_view::npos ||
            std::find(std::begin(kPlaceholders), std::end(kPlaceholders), name) ==
                std::end(kPlaceholders))
            return std::string(
                close == std::string_view::npos ? name : text.substr(open, close - open + 1));
        open = close;
    }
    return std::nullopt;
}

std::string spotText(std::string_view text, const SpotFields& fields) {
    std::string filled;
    std::size_t at = 0;
    // Nothing past the command's limit can be shown: a hostile comment named many times costs
    // no more than one.
    while (at < text.size() && filled.size() <= kTciCommandLimit) {
        const std::size_t open = text.find('{', at);
        const std::size_t close =
            open == std::string_view::npos ? std::string_view::npos : text.find('}', open);
        if (close == std::string_view::npos) {
            filled += text.substr(at);
            break;
        }
        filled += text.substr(at, open - at);
        const std::string_view name = text.substr(open + 1, close - open - 1);
        if (name == "comment")
            filled += utf8Prefix(fields.comment, kTciCommandLimit);
        else if (name == "spotter")
            filled += utf8Prefix(fields.spottercall, kTciCommandLimit);
        else if (name == "status")
            filled += utf8Prefix(fields.status, kTciCommandLimit);
        else if (name == "time")
            filled += hoursAndMinutes(fields.timestamp);
        else if (name == "call")
            filled += utf8Prefix(fields.dxcall, kTciCommandLimit);
        else
            filled += text.substr(open, close - open + 1);
        at = close + 1;
    }
    return filled;
}

SpotLook spotLook(const BridgeSettings& settings, std::string& problem) {
    SpotLook look;
    problem.clear();
    if (settings.SpotText) {
        if (std::optional<std::string> unknown = unknownSpotTextPlaceholder(*settings.SpotText))
            problem = "SpotText has an unknown placeholder " + *unknown + "; using {comment}";
        else
            look.text = *settings.SpotText;
    }
    if (settings.SpotHiddenStatuses) {
        std::string_view list = *settings.SpotHiddenStatuses;
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            const std::string status = lowered(list.substr(0, comma));
            if (!status.empty())
                look.hiddenStatuses.push_back(status);
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        }
    }
    return look;
}

bool hiddenStatus(std::string_view status, const SpotLook& look) {
    if (look.hiddenStatuses.empty())
        return false;
    const std::string lower = lowered(status);
    return std::find(look.hiddenStatuses.begin(), look.hiddenStatuses.end(), lower) !=
           look.hiddenStatuses.end();
}

N1mmDatagram readN1mmDatagram(std::string_view bytes) {
    N1mmDatagram datagram;
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string_view::npos) {
        bytes = bytes.substr(0, zero);
    }
    tinyxml2::XMLDocument document;
    if (document.Parse(bytes.data(), bytes.size()) != tinyxml2::XML_SUCCESS) {
        datagram.kind = N1mmDatagramKind::malformed;
        return datagram;
    }
    if (const tinyxml2::XMLElement* radio = document.FirstChildElement("RadioInfo")) {
        datagram.kind = N1mmDatagramKind::radio;
        datagram.radio.RadioNr = childText(*radio, "RadioNr");
        datagram.radio.Freq = childText(*radio, "Freq");
        return datagram;
    }
    const struct {
        const char* name;
        ContactFields::Kind kind;
    } contacts[] = {{"contactinfo", ContactFields::Kind::info},
                    {"contactreplace", ContactFields::Kind::replace},
                    {"contactdelete", ContactFields::Kind::remove}};
    for (const auto& contact : contacts) {
        const tinyxml2::XMLElement* qso = document.FirstChildElement(contact.name);
        if (qso == nullptr)
            continue;
        datagram.kind = N1mmDatagramKind::contact;
        ContactFields& fields = datagram.contact;
        fields.kind = contact.kind;
        fields.ID = childText(*qso, "ID");
        fields.call = childText(*qso, "call");
        fields.band = childText(*qso, "band");
        fields.rxfreq = childText(*qso, "rxfreq");
        fields.mode = childText(*qso, "mode");
        fields.timestamp = childText(*qso, "timestamp");
        return datagram;
    }
    const tinyxml2::XMLElement* spot = document.FirstChildElement("spot");
    if (spot == nullptr) {
        datagram.kind = N1mmDatagramKind::nothing;
        return datagram;
    }
    datagram.kind = N1mmDatagramKind::spot;
    SpotFields& fields = datagram.spot;
    fields.StationName = childText(*spot, "StationName");
    fields.dxcall = childText(*spot, "dxcall");
    fields.frequency = childText(*spot, "frequency");
    fields.spottercall = childText(*spot, "spottercall");
    fields.comment = childText(*spot, "comment");
    fields.action = childText(*spot, "action");
    fields.status = childText(*spot, "status");
    fields.statuslist = childText(*spot, "statuslist");
    fields.timestamp = childText(*spot, "timestamp");
    fields.mode = childText(*spot, "mode");
    return datagram;
}

std::optional<double> leadingDouble(std::string_view text) {
    bool negative = false;
    const std::string_view rest = afterBlanksAndSign(text, negative);
    // A digit or a point must come first; this also keeps "inf" and "nan" out.
    if (rest.empty() ||
        !(isDigit(rest[0]) || (rest[0] == '.' && rest.size() > 1 && isDigit(rest[1])))) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(rest.data(), rest.data() + rest.size(), value, std::chars_format::general);
    (void)end;
    if (error != std::errc() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<std::int32_t> leadingInteger(std::string_view text) {
    // Replacing ',' by '.' cannot change a leading integer: either character ends it.
    bool negative = false;
    const std::string_view rest = afterBlanksAndSign(text, negative);
    if (rest.empty() || !isDigit(rest[0])) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude);
    (void)end;
    if (error != std::errc()) {
        return std::nullopt;
    }
    const std::uint64_t limit =
        negative ? std::uint64_t{1} << 31 : std::uint64_t{std::numeric_limits<std::int32_t>::max()};
    if (magnitude > limit) {
        return std::nullopt;
    }
    const std::int64_t value =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return static_cast<std::int32_t>(value);
}

std::int64_t spotColour(std::string_view status, const BridgeSettings& settings) {
    if (status == "busy") {
        return settings.SpotBusyColour;
    }
    if (status == "bust") {
        return settings.SpotBustColour;
    }
    if (status == "cq") {
        return settings.SpotCQColour;
    }
    if (status == "dupe") {
        return settings.SpotDupeColour;
    }
    if (status == "single mult") {
        return settings.SpotSingleMultColour;
    }
    if (status == "double mult") {
        return settings.SpotDoubleMultColour;
    }
    // "new qso", and also "qtc" or no status at all: a spot always gets a colour.
    return settings.SpotNewQSOColour;
}

const char* spotMode(std::string_view comment) {
    struct Marker {
        const char* text;
        const char* mode;
    };
    static constexpr Marker markers[] = {
        {"cw", "cw"},   {"CW", "cw"},   {"WPM", "cw"},  {"RTTY", "rtty"},
        {"USB", "usb"}, {"LSB", "lsb"}, {"PSK", "psk"},
    };
    for (const Marker& marker : markers) {
        if (comment.find(marker.text) != std::string_view::npos) {
            return marker.mode;
        }
    }
    return "unk";
}

double transverterShift(double kHz, const std::vector<TransverterEntry>& transverters) {
    for (const TransverterEntry& entry : transverters) {
        if (entry.rf <= kHz) {
            return kHz - entry.rf + entry.ifreq;
        }
    }
    return kHz;
}

std::optional<SpotEntry> buildSpotEntry(const SpotFields& fields, const BridgeSettings& settings,
                                        std::int64_t now, const SpotLook& look) {
    const std::optional<double> kHz = leadingDouble(fields.frequency);
    if (!kHz) {
        return std::nullopt;
    }
    const double hz = transverterShift(*kHz, settings.Transverters) * 1000.0;
    if (!std::isfinite(hz)) {
        return std::nullopt;
    }
    SpotEntry entry;
    entry.StationName = fields.StationName;
    entry.dxcall = fields.dxcall;
    entry.frequency = fields.frequency;
    entry.spottercall = fields.spottercall;
    entry.comment = look.text == "{comment}" ? fields.comment : spotText(look.text, fields);
    entry.action = fields.action;
    entry.status = fields.status;
    entry.statuslist = fields.statuslist;
    entry.timestamp = fields.timestamp;
    entry.mode = spotMode(fields.comment);
    entry.frequencyHz = hz;
    entry.colour = spotColour(fields.status, settings);
    entry.received = now;
    entry.hidden = hiddenStatus(fields.status, look);
    entry.n1mmKHz = *kHz;
    // N1MM+'s own mode when it sends one, else the mode the comment gave.
    entry.kind = modeKind(fields.mode);
    if (entry.kind == ModeKind::unknown)
        entry.kind = modeKind(entry.mode);
    entry.stamp = stampNumber(fields.timestamp).value_or(-1);
    boundSpotEntry(entry);
    return entry;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    // A cut before a continuation byte would split a character: step back to its first byte.
    // A sequence has at most three continuation bytes; more in a row are not UTF-8 anyway.
    std::size_t cut = maxBytes;
    for (int step = 0; step < 3 && cut > 0; ++step) {
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80) {
            break;
        }
        --cut;
    }
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        cut = maxBytes;
    }
    return text.substr(0, cut);
}

void boundSpotEntry(SpotEntry& entry) {
    for (std::string* field : {&entry.StationName, &entry.frequency, &entry.spottercall,
                               &entry.action, &entry.status, &entry.statuslist, &entry.timestamp}) {
        field->resize(utf8Prefix(*field, kLogFieldLimit).size());
        field->shrink_to_fit();
    }
    entry.comment.resize(utf8Prefix(entry.comment, commentRoom(spotCommandHead(entry))).size());
    entry.comment.shrink_to_fit();
}

std::string tciSafeText(std::string_view text) {
    std::string safe = wsclient::repairedUtf8(text);
    for (char& c : safe) {
        if (c == ';' || isControl(c)) {
            c = ' ';
        }
    }
    return safe;
}

std::string spotCommand(const SpotEntry& entry) {
    std::string command = spotCommandHead(entry);
    // Mended before the cut, which then falls on a character boundary of what is sent.
    command += utf8Prefix(tciSafeText(entry.comment), commentRoom(command));
    command += ';';
    return command;
}

std::string shownCommand(const SpotEntry& entry) {
    return entry.hidden ? std::string() : spotCommand(entry);
}

std::string spotDeleteCommand(std::string_view dxcall) {
    return "spot_delete:" + tciSafeText(dxcall) + ";";
}

SpotTable::Added SpotTable::add(SpotEntry entry) {
    Added added;
    if (entries_.size() < kLimit) {
        overflowReported_ = false;
    }
    // A replacement is one change: the entry's new state says all of it.
    const auto old = index_.find(entry.dxcall);
    added.replaced = old != index_.end();
    if (added.replaced) {
        const auto at = old->second;
        index_.erase(old);
        entries_.erase(at);
    } else if (entries_.size() >= kLimit) {
        index_.erase(entries_.front().dxcall);
        added.evicted = std::move(entries_.front());
        entries_.pop_front();
        if (listener_ != nullptr)
            listener_->spotRemoved(added.evicted->dxcall);
        added.firstEviction = !overflowReported_;
        overflowReported_ = true;
    }
    entries_.push_back(std::move(entry));
    const auto last = std::prev(entries_.end());
    index_.emplace(last->dxcall, last);
    if (listener_ != nullptr)
        listener_->spotIs(*last);
    return added;
}

bool SpotTable::remove(const std::string& dxcall) {
    const auto found = index_.find(dxcall);
    if (found == index_.end()) {
        return false;
    }
    erase(found->second);
    return true;
}

void SpotTable::erase(std::list<SpotEntry>::iterator entry) {
    if (listener_ != nullptr)
        listener_->spotRemoved(entry->dxcall);
    index_.erase(entry->dxcall);
    entries_.erase(entry);
}

const SpotEntry* SpotTable::find(const std::string& dxcall) const {
    const auto found = index_.find(dxcall);
    return found == index_.end() ? nullptr : &*found->second;
}

void SpotTable::clear() {
    while (!entries_.empty())
        erase(entries_.begin());
}

std::vector<SpotEntry> SpotTable::expire(std::int64_t now, std::int32_t lifeTime) {
    std::vector<SpotEntry> expired;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!outlived(it->received, lifeTime, now)) {
            ++it;
            continue;
        }
        if (listener_ != nullptr)
            listener_->spotRemoved(it->dxcall);
        index_.erase(it->dxcall);
        expired.push_back(std::move(*it));
        it = entries_.erase(it);
    }
    return expired;
}

SpotApplied applySpot(SpotTable& table, const SpotFields& fields, const BridgeSettings& settings,
                      std::int64_t now, const SpotLook& look) {
    SpotApplied applied;
    const bool known = fields.action == "add" || fields.action == "delete";
    if (known && fields.dxcall.size() > kCallSignLimit) {
        applied.change = SpotChange::callTooLong;
    } else if (known && std::any_of(fields.dxcall.begin(), fields.dxcall.end(), isControl)) {
        applied.change = SpotChange::callNotPrintable;
    } else if (fields.action == "delete") {
        table.remove(fields.dxcall);
        applied.command = spotDeleteCommand(fields.dxcall);
        applied.change = SpotChange::deleted;
    } else if (fields.action != "add") {
        applied.change = SpotChange::unknownAction;
    } else if (std::optional<SpotEntry> entry = buildSpotEntry(fields, settings, now, look)) {
        applied.command = shownCommand(*entry);
        // The SDR already shows what a repeat would send (and one SDR program redraws its whole
        // panorama for every spot command): only the entry, with its new age, is kept.
        const SpotEntry* live = table.find(entry->dxcall);
        if (live != nullptr) {
            carryMarks(*live, *entry, settings, look);
            applied.command = shownCommand(*entry);
        }
        const bool same = live != nullptr && shownCommand(*live) == applied.command;
        const bool hides = live != nullptr && !same && !live->hidden && entry->hidden;
        SpotTable::Added added = table.add(std::move(*entry));
        applied.change = added.replaced ? SpotChange::replaced : SpotChange::added;
        if (same) {
            applied.change = SpotChange::repeated;
            applied.command.clear();
        } else if (hides) {
            applied.change = SpotChange::hidden;
            applied.command = spotDeleteCommand(fields.dxcall);
        }
        applied.evicted = std::move(added.evicted);
        applied.firstEviction = added.firstEviction;
    } else {
        applied.change = SpotChange::unusableFrequency;
    }
    return applied;
}

bool PendingDeletes::remember(const std::string& dxcall) {
    // Moved to the end, quietly: the listener hears where the call ends up.
    SpotStateListener* listener = std::exchange(listener_, nullptr);
    erase(dxcall);
    listener_ = listener;
    bool warn = false;
    if (entries_.size() >= kLimit) {
        // A copy: erase must not be handed a name that lives in the entry it removes.
        const std::string oldest = entries_.front().dxcall;
        erase(oldest);
        ++dropped_;
        warn = !overflowReported_;
        overflowReported_ = true;
    }
    entries_.push_back(Entry{dxcall, 0});
    index_.emplace(dxcall, std::prev(entries_.end()));
    if (listener_ != nullptr)
        listener_->deletionPending(dxcall);
    return warn;
}

bool PendingDeletes::forget(const std::string& dxcall) {
    return erase(dxcall);
}

void PendingDeletes::markSent(const std::string& dxcall, std::uint64_t sequence) {
    const auto found = index_.find(dxcall);
    if (found == index_.end())
        return;
    if (found->second->sentAs == 0)
        ++sentCount_;
    found->second->sentAs = sequence;
}

void PendingDeletes::confirmThrough(std::uint64_t sequence) {
    // Called for every answer from the SDR: nothing to walk unless something was sent.
    if (sentCount_ == 0)
        return;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->sentAs != 0 && it->sentAs <= sequence) {
            --sentCount_;
            if (listener_ != nullptr)
                listener_->deletionSettled(it->dxcall);
            index_.erase(it->dxcall);
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    if (entries_.empty())
        overflowReported_ = false;
}

void PendingDeletes::sendingLost() {
    if (sentCount_ == 0)
        return;
    sentCount_ = 0;
    for (Entry& entry : entries_)
        entry.sentAs = 0;
}

std::vector<std::string> PendingDeletes::calls() const {
    std::vector<std::string> calls;
    calls.reserve(entries_.size());
    for (const Entry& entry : entries_)
        calls.push_back(entry.dxcall);
    return calls;
}

bool PendingDeletes::erase(const std::string& dxcall) {
    const auto found = index_.find(dxcall);
    if (found == index_.end())
        return false;
    if (listener_ != nullptr)
        listener_->deletionSettled(dxcall);
    if (found->second->sentAs != 0)
        --sentCount_;
    entries_.erase(found->second);
    index_.erase(found);
    if (entries_.empty())
        overflowReported_ = false;
    return true;
}

bool ddsForReceiver(std::string_view arguments, std::int32_t receiver) {
    const std::string number = std::to_string(receiver);
    return number.size() == 1 && !arguments.empty() && arguments[0] == number[0];
}

bool ddsForReceiverNumber(std::string_view arguments, std::int32_t receiver) {
    const std::string field = trimBlanks(arguments.substr(0, arguments.find(',')));
    return !field.empty() && field == std::to_string(receiver);
}

std::optional<std::int32_t> ddsFrequencyAfterReceiver(std::string_view arguments) {
    const std::size_t comma = arguments.find(',');
    return leadingInteger(comma == std::string_view::npos ? arguments
                                                          : arguments.substr(comma + 1));
}

std::optional<std::int32_t> ddsFrequencyFor(std::string_view arguments, std::int32_t receiver) {
    if (!ddsForReceiver(arguments, receiver)) {
        return std::nullopt;
    }
    return ddsFrequencyAfterReceiver(arguments);
}
