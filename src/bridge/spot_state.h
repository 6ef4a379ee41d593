// The spot state document: the live spots and the deletions that the SDR may have missed, kept
// in a file beside the settings file so that a restart neither forgets a spot nor leaves a stale
// one on the panorama. Pure: the caller reads and writes the file and reads the clocks.
#pragma once

#include "bridge/spot_relay.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The file's name, in the folder of Tarnwick.xml.
inline constexpr const char* kSpotStateFileName = "Tarnwick.spots.xml";

// The whole document: the table's spots in table order, each with its age, then the pending
// deletions in order. loopNow is the loop clock's now, the clock of SpotEntry::received, which
// means nothing to the next run; wallNow is seconds since the epoch, saved with the document so
// that the next run can tell how long the bridge was down.
std::string spotStateDocument(const SpotTable& table, const PendingDeletes& pending,
                              std::int64_t loopNow, std::int64_t wallNow);

enum class SpotStateStatus {
    loaded,
    unreadable, // not well-formed, or without what every such document has
    foreign,    // some other document, or one that a later version of the program wrote
};

struct SpotStateLoad {
    SpotStateStatus status = SpotStateStatus::unreadable;
    std::string reason;      // why it was not loaded, for the one warning
    std::size_t expired = 0; // spots whose lifetime ended while the bridge was down
    std::size_t refused = 0; // entries not taken as they stand: damaged, or past the table's limit
};

// Reads a document into an empty table and an empty pending list, with the current lifeTime, the
// new run's loop clock (loopNow) and the wall clock (wallNow). A spot is as old as it was at the
// save plus the time the bridge was down; a wall clock set back meanwhile counts as no time. A
// spot whose lifetime ended meanwhile becomes a pending deletion, after those in the document;
// so does a spot whose details are damaged, since the SDR may still show it. Whatever the
// document holds, the table and the list stay within their limits (the list drops its oldest
// calls, as it does while the bridge runs) and an entry within its bounds. Unless loaded, both
// are left untouched.
SpotStateLoad loadSpotState(std::string_view text, SpotTable& table, PendingDeletes& pending,
                            std::int32_t lifeTime, std::int64_t loopNow, std::int64_t wallNow);
