#include "spots/spot_look.h"

#include "spots/tci_spot_commands.h"
#include "text/utf8.h"

#include <algorithm>
#include <iterator>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
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
