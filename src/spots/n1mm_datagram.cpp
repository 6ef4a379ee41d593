#include "spots/n1mm_datagram.h"

#include "text/utf8.h"

#include <tinyxml2.h>

namespace {

// The parser passes bytes through as they came and decodes character references without
// asking whether the code point may be encoded: whatever is not UTF-8 is mended here, so that the
// log, the state file and the SDR all see the same text.
std::string childText(const tinyxml2::XMLElement& parent, const char* name) {
    const tinyxml2::XMLElement* child = parent.FirstChildElement(name);
    const char* text = child != nullptr ? child->GetText() : nullptr;
    return text != nullptr ? repairedUtf8(text) : std::string(kNoneText);
}

} // namespace

N1mmDatagram readN1mmDatagram(std::string_view bytes) {
    N1mmDatagram datagram;
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string_view::npos) {
        bytes = bytes.substr(0, zero);
    }
    tinyxml2::XMLDocument document;
    if (document.Parse(bytes.data(), bytes.size()) != tinyxml2::XML_SUCCESS) {
        datagram.kind = N1mmDatagramKind::malformed;
        return datagram;
    }
    if (const tinyxml2::XMLElement* radio = document.FirstChildElement("RadioInfo")) {
        datagram.kind = N1mmDatagramKind::radio;
        datagram.radio.RadioNr = childText(*radio, "RadioNr");
        datagram.radio.Freq = childText(*radio, "Freq");
        return datagram;
    }
    const struct {
        const char* name;
        ContactFields::Kind kind;
    } contacts[] = {{"contactinfo", ContactFields::Kind::info},
                    {"contactreplace", ContactFields::Kind::replace},
                    {"contactdelete", ContactFields::Kind::remove}};
    for (const auto& contact : contacts) {
        const tinyxml2::XMLElement* qso = document.FirstChildElement(contact.name);
        if (qso == nullptr)
            continue;
        datagram.kind = N1mmDatagramKind::contact;
        ContactFields& fields = datagram.contact;
        fields.kind = contact.kind;
        fields.ID = childText(*qso, "ID");
        fields.call = childText(*qso, "call");
        fields.band = childText(*qso, "band");
        fields.rxfreq = childText(*qso, "rxfreq");
        fields.mode = childText(*qso, "mode");
        fields.timestamp = childText(*qso, "timestamp");
        return datagram;
    }
    const tinyxml2::XMLElement* spot = document.FirstChildElement("spot");
    if (spot == nullptr) {
        datagram.kind = N1mmDatagramKind::nothing;
        return datagram;
    }
    datagram.kind = N1mmDatagramKind::spot;
    SpotFields& fields = datagram.spot;
    fields.StationName = childText(*spot, "StationName");
    fields.dxcall = childText(*spot, "dxcall");
    fields.frequency = childText(*spot, "frequency");
    fields.spottercall = childText(*spot, "spottercall");
    fields.comment = childText(*spot, "comment");
    fields.action = childText(*spot, "action");
    fields.status = childText(*spot, "status");
    fields.statuslist = childText(*spot, "statuslist");
    fields.timestamp = childText(*spot, "timestamp");
    fields.mode = childText(*spot, "mode");
    return datagram;
}
