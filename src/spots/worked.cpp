#include "spots/worked.h"

#include "spots/bands.h"
#include "spots/tci_spot_commands.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <system_error>
#include <utility>

namespace {

// A QSO's band field is a short text; a longer one names no band.
const AmateurBand* bandOfQso(std::string_view text) {
    return text.size() > kLogFieldLimit ? nullptr : bandNamed(text);
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool startsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

bool usableId(std::string_view id) {
    return !id.empty() && id != kNoneText && id.size() <= kQsoIdLimit &&
           std::all_of(id.begin(), id.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '-' || c == '_' || c == '{' || c == '}';
           });
}

bool marksId(const SpotEntry& entry, std::string_view id) {
    return std::any_of(entry.marks.begin(), entry.marks.end(),
                       [id](const QsoMark& mark) { return mark.id == id; });
}

} // namespace

ModeKind modeKind(std::string_view mode) {
    const std::string word = upper(mode);
    if (word == "CW" || word == "CW-R")
        return ModeKind::cw;
    for (const char* phone : {"SSB", "USB", "LSB", "AM", "FM", "PH", "PHONE", "DV"})
        if (word == phone)
            return ModeKind::phone;
    for (const char* digital :
         {"RTTY",      "PSK",    "FT",   "JT",    "MFSK",   "Q65",  "MSK", "OLIVIA",
          "CONTESTIA", "DOMINO", "THOR", "THROB", "MT63",   "HELL", "JS8", "FSK",
          "AFSK",      "DIG",    "DATA", "PKT",   "PACKET", "SSTV"})
        if (startsWith(word, digital))
            return ModeKind::digital;
    return ModeKind::unknown;
}

std::optional<std::int64_t> stampNumber(std::string_view timestamp) {
    // Year, month, day, hour, minute, second: six runs of digits, whatever stands between them.
    static constexpr int kMost[] = {9999, 12, 31, 23, 59, 60};
    std::int64_t number = 0;
    std::size_t at = 0;
    for (int part = 0; part < 6; ++part) {
        while (at < timestamp.size() && !(timestamp[at] >= '0' && timestamp[at] <= '9'))
            ++at;
        int value = 0;
        const auto [end, error] =
            std::from_chars(timestamp.data() + at, timestamp.data() + timestamp.size(), value);
        if (error != std::errc() || value < 0 || value > kMost[part])
            return std::nullopt;
        at = static_cast<std::size_t>(end - timestamp.data());
        number = number * 100 + value;
    }
    return number;
}

bool knownBand(std::string_view band) {
    return bandOfQso(band) != nullptr;
}

bool onBand(double kHz, std::string_view band) {
    const AmateurBand* named = bandOfQso(band);
    return named != nullptr && kHz >= named->lowKHz && kHz <= named->highKHz;
}

bool works(const QsoMark& mark, const SpotEntry& entry) {
    return onBand(entry.n1mmKHz, mark.band) &&
           (entry.kind == ModeKind::unknown || entry.kind == mark.kind);
}

void styleSpot(SpotEntry& entry, const BridgeSettings& settings, const SpotLook& look) {
    const bool worked = !entry.marks.empty();
    entry.colour = worked ? settings.SpotDupeColour : spotColour(entry.status, settings);
    entry.hidden = hiddenStatus(entry.status, look) || (worked && hiddenStatus("dupe", look));
}

void carryMarks(const SpotEntry& live, SpotEntry& entry, const BridgeSettings& settings,
                const SpotLook& look) {
    if (live.marks.empty())
        return;
    for (const QsoMark& mark : live.marks) {
        const bool before = entry.stamp >= 0 && mark.stamp >= 0 && entry.stamp <= mark.stamp;
        if (before && works(mark, entry))
            entry.marks.push_back(mark);
    }
    styleSpot(entry, settings, look);
}

std::string marksText(const std::vector<QsoMark>& marks) {
    std::string text;
    for (const QsoMark& mark : marks) {
        if (!text.empty())
            text += ',';
        text += mark.id + ' ' + mark.band + ' ' + modeKindWord(mark.kind) + ' ' +
                std::to_string(mark.stamp);
    }
    return text;
}

std::optional<std::vector<QsoMark>> readMarks(std::string_view text) {
    std::vector<QsoMark> marks;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string_view one = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        std::string_view parts[4];
        for (std::string_view& part : parts) {
            const std::size_t blank = one.find(' ');
            part = one.substr(0, blank);
            one = blank == std::string_view::npos ? std::string_view() : one.substr(blank + 1);
        }
        QsoMark mark;
        mark.id = parts[0];
        mark.band = parts[1];
        const std::optional<ModeKind> kind = modeKindFromWord(parts[2]);
        const auto [end, error] =
            std::from_chars(parts[3].data(), parts[3].data() + parts[3].size(), mark.stamp);
        if (!usableId(mark.id) || !knownBand(mark.band) || !kind || error != std::errc() ||
            end != parts[3].data() + parts[3].size() || !one.empty() ||
            marks.size() >= kMarksPerSpot)
            return std::nullopt;
        mark.kind = *kind;
        marks.push_back(std::move(mark));
    }
    return marks;
}

ContactApplied applyContact(SpotTable& table, const ContactFields& fields,
                            const BridgeSettings& settings, const SpotLook& look) {
    ContactApplied applied;
    if (!usableId(fields.ID)) {
        applied.unusable = "without a usable ID";
        return applied;
    }
    const bool logged = fields.kind != ContactFields::Kind::remove;
    if (logged && (fields.call == kNoneText || fields.call.empty())) {
        applied.unusable = "without a call";
        return applied;
    }
    if (logged && !knownBand(fields.band)) {
        applied.unusable = "without a band the bridge knows";
        return applied;
    }
    if (logged && (fields.mode == kNoneText || fields.mode.empty())) {
        applied.unusable = "without a mode";
        return applied;
    }

    // Each spot's new state goes in whole, as any other change does, so that it is journaled.
    // What the SDR is sent is decided at the end: an edit that keeps the call re-sends nothing.
    std::vector<std::pair<std::string, std::string>> shownBefore;
    const auto restyle = [&](SpotEntry entry) {
        const auto seen = [&entry](const auto& call) { return call.first == entry.dxcall; };
        if (std::none_of(shownBefore.begin(), shownBefore.end(), seen))
            shownBefore.emplace_back(entry.dxcall, shownCommand(*table.find(entry.dxcall)));
        styleSpot(entry, settings, look);
        table.add(std::move(entry));
    };
    const auto changes = [&] {
        for (const auto& [dxcall, before] : shownBefore) {
            const std::string after = shownCommand(*table.find(dxcall));
            if (after != before)
                applied.restyled.push_back({dxcall, !after.empty()});
        }
        return applied;
    };

    // The QSO's old call and band no longer stand: its marks go first.
    std::vector<SpotEntry> unmarked;
    for (const SpotEntry& entry : table)
        if (marksId(entry, fields.ID))
            unmarked.push_back(entry);
    for (SpotEntry& entry : unmarked) {
        entry.marks.erase(std::remove_if(entry.marks.begin(), entry.marks.end(),
                                         [&fields](const QsoMark& m) { return m.id == fields.ID; }),
                          entry.marks.end());
        restyle(std::move(entry));
    }
    if (!logged)
        return changes();

    QsoMark mark;
    mark.id = fields.ID;
    mark.band = fields.band;
    mark.kind = modeKind(fields.mode);
    mark.stamp = stampNumber(fields.timestamp).value_or(-1);
    const SpotEntry* live = table.find(fields.call);
    if (live == nullptr || !works(mark, *live))
        return changes();
    SpotEntry entry = *live;
    if (entry.marks.size() >= kMarksPerSpot)
        entry.marks.erase(entry.marks.begin());
    entry.marks.push_back(std::move(mark));
    restyle(std::move(entry));
    return changes();
}
