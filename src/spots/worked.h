// Worked at once: a QSO logged in N1MM+ (its Contacts broadcast) marks the live spot of the same
// call on the same band, in a mode of the same kind, so that the SDR shows it in the dupe colour
// without waiting for N1MM+ to send the spot again. Pure: the caller sends what changed.
#pragma once

#include "settings/settings.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_look.h"
#include "spots/spot_table.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A spot keeps at most this many QSOs that work it; a newer one pushes out the oldest.
inline constexpr std::size_t kMarksPerSpot = 4;
// N1MM+'s QSO IDs are 32 hexadecimal digits; a longer ID is no QSO of N1MM+'s.
inline constexpr std::size_t kQsoIdLimit = 64;

// The kind of an N1MM+ mode (CW, USB, RTTY, FT8...) or of the relay's own mode word.
ModeKind modeKind(std::string_view mode);

// A time stamp as N1MM+ writes them ("2026/12/09 14:05:23" for a spot, "2026-12-09 14:05:23"
// for a QSO) as a number that orders them; empty when it is not one.
std::optional<std::int64_t> stampNumber(std::string_view timestamp);

// Whether a frequency in kHz lies on the band that a QSO's band field names (MHz: 1.8, 3.5, 5,
// 7, ... 144 and up), by the amateur band edges of all three regions together. An unknown band
// has no frequency.
bool onBand(double kHz, std::string_view band);
bool knownBand(std::string_view band);

// Whether a QSO works this spot: its band, and the same kind of mode unless the spot's is unknown.
bool works(const QsoMark& mark, const SpotEntry& entry);

// The colour and the visibility that the spot's N1MM+ status and its marks give it: a worked
// spot has the dupe colour, and counts as a dupe for the hidden statuses.
void styleSpot(SpotEntry& entry, const BridgeSettings& settings, const SpotLook& look);

// A new datagram for a live spot: the marks of QSOs made no earlier than it was spotted stay (it
// repeats what N1MM+ knew before the QSO); a spot spotted later, or one whose time stamps cannot
// be compared, carries N1MM+'s own judgement and the marks go.
void carryMarks(const SpotEntry& live, SpotEntry& entry, const BridgeSettings& settings,
                const SpotLook& look);

// The marks as the state keeps them, and back; empty when the text is damaged.
std::string marksText(const std::vector<QsoMark>& marks);
std::optional<std::vector<QsoMark>> readMarks(std::string_view text);

struct ContactApplied {
    std::string unusable; // why the datagram cannot be used; empty when it was
    // Calls whose look on the panorama changed, with whether they are shown now.
    struct Restyled {
        std::string dxcall;
        bool shown = false;
    };
    std::vector<Restyled> restyled;
};

// A QSO logged, edited or deleted: the marks follow it, and the spots whose look changed are
// named. An ID that marks spots already is taken as an edit.
ContactApplied applyContact(SpotTable& table, const ContactFields& fields,
                            const BridgeSettings& settings, const SpotLook& look);
