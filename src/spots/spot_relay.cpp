#include "spots/spot_relay.h"

#include "spots/tci_spot_commands.h"
#include "spots/worked.h"
#include "text/numbers.h"

#include <algorithm>
#include <cmath>
#include <utility>

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

SpotApplied applySpot(SpotTable& table, const SpotFields& fields, const BridgeSettings& settings,
                      std::int64_t now, const SpotLook& look) {
    SpotApplied applied;
    const bool known = fields.action == "add" || fields.action == "delete";
    if (known && fields.dxcall.size() > kCallSignLimit) {
        applied.change = SpotChange::callTooLong;
    } else if (known && std::any_of(fields.dxcall.begin(), fields.dxcall.end(), isTciControl)) {
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
