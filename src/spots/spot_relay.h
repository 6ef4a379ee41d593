// The spot relay: a spot from N1MM+ becomes a live entry at its SDR frequency, and each add or
// delete the change to the table and the command that mirrors it to the SDR. Pure: the caller
// sends the command and keeps the change.
#pragma once

#include "settings/settings.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_look.h"
#include "spots/spot_table.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The first transverter in list order whose rf is not above the frequency shifts it to
// its IF; otherwise the frequency stays (kHz in, kHz out).
double transverterShift(double kHz, const std::vector<TransverterEntry>& transverters);

// A whole entry from a datagram's fields, received at now, within the bounds of
// boundSpotEntry. Empty when the frequency cannot be used (it does not begin with a number, or
// the shifted value in Hz is not finite).
std::optional<SpotEntry> buildSpotEntry(const SpotFields& fields, const BridgeSettings& settings,
                                        std::int64_t now, const SpotLook& look = SpotLook());

enum class SpotChange {
    added,             // a new call sign
    replaced,          // an add for a call sign already in the table
    repeated,          // an add that changes nothing the SDR shows: only the spot's age is new
    hidden,            // an add that takes a shown spot off the panorama; it stays in the table
    deleted,           // a delete, found in the table or not
    unknownAction,     // neither "add" nor "delete"; the table is untouched
    unusableFrequency, // an add whose frequency cannot be used; the table is untouched
    callTooLong,       // a dxcall over kCallSignLimit bytes, for an add or a delete; ignored
    callNotPrintable,  // a dxcall holding a control character, for an add or a delete; ignored
};

struct SpotApplied {
    SpotChange change = SpotChange::unknownAction;
    std::string command; // the text to send; empty when nothing is to be sent
    // An add to a full table: the oldest entry made room, and its deletion is to be sent.
    std::optional<SpotEntry> evicted;
    bool firstEviction = false; // worth one warning
};

// Applies a datagram's spot to the table, received at now, and gives the command that mirrors it
// to the SDR. Only an add needs a frequency: a delete works by call sign alone. A call sign over
// kCallSignLimit bytes is refused for a delete too: no spot with it was ever relayed, so the SDR
// cannot show one, and its command could be longer than a server takes. So is one holding a
// control character: its command would carry a blank there, and two such calls that differ only
// in those characters would name the same spot on the SDR.
SpotApplied applySpot(SpotTable& table, const SpotFields& fields, const BridgeSettings& settings,
                      std::int64_t now, const SpotLook& look = SpotLook());
