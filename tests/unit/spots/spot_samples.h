// Spots, fields and tables that the spot tests build again and again.
#pragma once

#include "spots/n1mm_datagram.h"
#include "spots/spot_table.h"

#include <cstdint>
#include <string>
#include <vector>

inline SpotFields fieldsFor(const std::string& dxcall, const std::string& action,
                            const std::string& frequency = "14025.0") {
    SpotFields fields;
    fields.StationName = "PC";
    fields.dxcall = dxcall;
    fields.frequency = frequency;
    fields.spottercall = "G4XYZ";
    fields.comment = "CQ";
    fields.action = action;
    fields.status = "new qso";
    fields.statuslist = "new qso";
    fields.timestamp = "t";
    return fields;
}

inline SpotEntry entryFor(const std::string& dxcall, std::int64_t received = 1000,
                          const std::string& action = "add") {
    SpotEntry entry;
    entry.dxcall = dxcall;
    entry.action = action;
    entry.mode = "cw";
    entry.frequencyHz = 14025000.0;
    entry.received = received;
    return entry;
}

inline std::vector<std::string> callsIn(const SpotTable& table) {
    std::vector<std::string> calls;
    for (const SpotEntry& entry : table) {
        calls.push_back(entry.dxcall);
    }
    return calls;
}
