// The N1MM+ datagram reader: spots, radios and logged QSOs, as their fields came, each mended
// to UTF-8 as it is read. Pure: bytes in, fields out.
#pragma once

#include <string>
#include <string_view>

// The text of a missing element, or of one whose first child is not text.
inline constexpr const char* kNoneText = "<none>";

// The nine text fields of a `spot` element, as received.
struct SpotFields {
    std::string StationName;
    std::string dxcall;
    std::string frequency;
    std::string spottercall;
    std::string comment;
    std::string action;
    std::string status;
    std::string statuslist;
    std::string timestamp;
    std::string mode = kNoneText; // N1MM+'s own, when it sends one
};

// The fields of a logged QSO that the bridge reads (`contactinfo`, `contactreplace`,
// `contactdelete`).
struct ContactFields {
    enum class Kind { info, replace, remove } kind = Kind::info;
    std::string ID;
    std::string call;
    std::string band;
    std::string rxfreq;
    std::string mode;
    std::string timestamp;
};

// The two fields of a `RadioInfo` element that the bridge reads.
struct RadioFields {
    std::string RadioNr;
    std::string Freq;
};

enum class N1mmDatagramKind {
    malformed, // not well-formed XML
    radio,     // a top-level RadioInfo element
    spot,      // a top-level spot element (and no RadioInfo)
    contact,   // a top-level contactinfo, contactreplace or contactdelete element
    nothing,   // well-formed, but none of these
};

struct N1mmDatagram {
    N1mmDatagramKind kind = N1mmDatagramKind::nothing;
    RadioFields radio;     // filled for radio
    SpotFields spot;       // filled for spot
    ContactFields contact; // filled for contact
};

// Reads one datagram, taken as text up to its first zero byte.
N1mmDatagram readN1mmDatagram(std::string_view bytes);
