// The TCI spot commands: the texts that show a spot on the SDR's panorama and take it off
// again, each one command, UTF-8, within the length every server takes.
#pragma once

#include "spots/spot_table.h"

#include <cstddef>
#include <string>
#include <string_view>

// No TCI command that the bridge sends is longer than this many bytes: some servers drop long
// text messages, and no real spot needs more than a few dozen bytes.
inline constexpr std::size_t kTciCommandLimit = 1024;

// Cuts what an entry keeps, each at a character boundary: the fields used only in the log to
// kLogFieldLimit bytes, the comment to what its command has room for. Whatever arrives, an entry
// then holds a few kilobytes at most. The call sign is left alone: it is refused, not cut.
void boundSpotEntry(SpotEntry& entry);

// What cannot travel inside a TCI command: a control character.
bool isTciControl(char c);

// Text from outside placed into a TCI command: each ';' and each control character becomes a
// blank, so that a comment cannot end the command early and smuggle in one of its own, and what
// is not UTF-8 (a spot kept by an older build) is mended as the datagram reader mends it.
std::string tciSafeText(std::string_view text);

// "spot:" dxcall "," mode "," Hz "," colour "," comment ";" with the Hz rounded to whole hertz
// and the comment cut at a character boundary so that the whole text is at most
// kTciCommandLimit bytes. The dxcall must be at most kCallSignLimit bytes, as in the table.
std::string spotCommand(const SpotEntry& entry);
// "spot_delete:" dxcall ";".
std::string spotDeleteCommand(std::string_view dxcall);
// The command that shows the entry, or, for a hidden one, nothing.
std::string shownCommand(const SpotEntry& entry);
