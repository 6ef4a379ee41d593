// How a spot looks on the panorama: its colour from its N1MM+ status, its TCI mode from markers
// in its comment, its text from the SpotText template and whether its status keeps it off.
#pragma once

#include "settings/settings.h"
#include "spots/n1mm_datagram.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How spots look on the panorama: the text each carries, and the statuses kept off it.
struct SpotLook {
    std::string text = "{comment}";
    std::vector<std::string> hiddenStatuses; // lower case, without blanks around them
};

// The look the settings ask for. A SpotText with a placeholder that is not one of {comment},
// {spotter}, {status}, {time} and {call} leaves the default text, and problem says why.
SpotLook spotLook(const BridgeSettings& settings, std::string& problem);
// The first placeholder of a template that is not one of the five; empty when there is none.
std::optional<std::string> unknownSpotTextPlaceholder(std::string_view text);
// The template filled from a datagram's fields, cut once it is longer than any command holds.
std::string spotText(std::string_view text, const SpotFields& fields);
// Whether a status is one of the hidden ones, whatever its case and blanks around it.
bool hiddenStatus(std::string_view status, const SpotLook& look);

// The colour setting for a status word; a status outside the seven words gets the new-QSO colour.
std::int64_t spotColour(std::string_view status, const BridgeSettings& settings);

// The TCI mode word chosen by markers in the comment.
const char* spotMode(std::string_view comment);
