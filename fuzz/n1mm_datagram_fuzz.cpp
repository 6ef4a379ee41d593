// Any datagram on the spot port: the reader must not crash, and whatever it lets through must
// come out as exactly one well-formed TCI command.
#include "bridge/tci_message.h"
#include "fuzz_check.h"
#include "spots/n1mm_datagram.h"
#include "spots/spot_relay.h"
#include "spots/tci_spot_commands.h"
#include "spots/worked.h"
#include "text/numbers.h"
#include "text/utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// One command, ended by its only ';', with no control character that could split or bend it.
void checkOneCommand(const std::string& command, std::string_view name) {
    FUZZ_CHECK(startsWith(command, std::string(name) + ":"));
    FUZZ_CHECK(!command.empty() && command.back() == ';');
    FUZZ_CHECK(command.find(';') == command.size() - 1);
    // A text frame that is not UTF-8 costs the connection.
    FUZZ_CHECK(isUtf8(command));
    for (const char c : command) {
        const auto byte = static_cast<unsigned char>(c);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7f);
    }
    const TciMessage seen = splitTciMessage(command);
    FUZZ_CHECK(seen.name == name);
    FUZZ_CHECK(seen.arguments == command.substr(name.size() + 1, command.size() - name.size() - 2));
}

void checkSpotCommand(const SpotEntry& entry) {
    const std::string command = spotCommand(entry);
    checkOneCommand(command, "spot");

    // The frequency field holds the entry's frequency rounded to whole hertz.
    const std::string head = "spot:" + tciSafeText(entry.dxcall) + "," + entry.mode + ",";
    FUZZ_CHECK(startsWith(command, head));
    const std::size_t end = command.find(',', head.size());
    FUZZ_CHECK(end != std::string::npos);
    const std::string_view printed(command.data() + head.size(), end - head.size());
    FUZZ_CHECK(!printed.empty() && printed.find('.') == std::string_view::npos);
    double value = 0.0;
    const auto parsed = std::from_chars(printed.data(), printed.data() + printed.size(), value);
    FUZZ_CHECK(parsed.ec == std::errc() && parsed.ptr == printed.data() + printed.size());
    FUZZ_CHECK(value == std::nearbyint(entry.frequencyHz));

    const std::string colour = "," + std::to_string(entry.colour) + ",";
    FUZZ_CHECK(command.compare(end, colour.size(), colour) == 0);
    // The comment as far as it fits: a call that the relay accepts leaves the command within the
    // limit that every TCI server takes.
    const std::size_t at = end + colour.size();
    const std::size_t kept = command.size() - at - 1;
    FUZZ_CHECK(tciSafeText(entry.comment).compare(0, kept, command, at, kept) == 0);
    if (entry.dxcall.size() <= kCallSignLimit)
        FUZZ_CHECK(command.size() <= kTciCommandLimit);
}

BridgeSettings fuzzSettings() {
    BridgeSettings settings;
    // The first entry shifts huge frequencies out of the finite range.
    settings.Transverters = {{1e305, 1.7e308}, {144000.0, 28000.0}};
    return settings;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const BridgeSettings settings = fuzzSettings();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const N1mmDatagram datagram = readN1mmDatagram(bytes);
    if (datagram.kind == N1mmDatagramKind::radio) {
        const std::optional<std::int32_t> freq = leadingInteger(datagram.radio.Freq);
        FUZZ_CHECK(!freq || datagram.radio.Freq != kNoneText);
    } else if (datagram.kind == N1mmDatagramKind::spot) {
        const SpotFields& fields = datagram.spot;
        const std::optional<SpotEntry> entry = buildSpotEntry(fields, settings, 1700000000);
        if (!entry) {
            const std::optional<double> kHz = leadingDouble(fields.frequency);
            FUZZ_CHECK(!kHz ||
                       !std::isfinite(transverterShift(*kHz, settings.Transverters) * 1000.0));
        } else {
            FUZZ_CHECK(std::isfinite(entry->frequencyHz));
            FUZZ_CHECK(entry->dxcall == fields.dxcall &&
                       fields.comment.compare(0, entry->comment.size(), entry->comment) == 0);
            checkSpotCommand(*entry);
            checkOneCommand(spotDeleteCommand(entry->dxcall), "spot_delete");
        }
        // Only an add needs a usable frequency; a delete works whatever its frequency says.
        SpotTable table;
        const SpotApplied applied = applySpot(table, fields, settings, 1700000000);
        const bool known = fields.action == "add" || fields.action == "delete";
        const bool printable = std::none_of(fields.dxcall.begin(), fields.dxcall.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        });
        if (known && fields.dxcall.size() > kCallSignLimit) {
            FUZZ_CHECK(applied.change == SpotChange::callTooLong && table.empty() &&
                       applied.command.empty());
        } else if (known && !printable) {
            FUZZ_CHECK(applied.change == SpotChange::callNotPrintable && table.empty() &&
                       applied.command.empty());
        } else if (fields.action == "add") {
            FUZZ_CHECK(entry ? applied.change == SpotChange::added && table.size() == 1 &&
                                   table.find(fields.dxcall) != nullptr &&
                                   applied.command == spotCommand(*entry)
                             : applied.change == SpotChange::unusableFrequency && table.empty());
        } else if (fields.action == "delete") {
            FUZZ_CHECK(applied.change == SpotChange::deleted && table.empty());
            FUZZ_CHECK(applied.command == spotDeleteCommand(fields.dxcall));
        } else {
            FUZZ_CHECK(applied.change == SpotChange::unknownAction && applied.command.empty());
        }
    }

    if (datagram.kind == N1mmDatagramKind::contact) {
        // A QSO against a live spot of its call on its band: whatever its fields hold, the marks
        // stay bounded and come back from the state's text, and what changed is one command.
        const ContactFields& qso = datagram.contact;
        SpotFields fields;
        fields.dxcall = qso.call.substr(0, kCallSignLimit);
        fields.frequency = std::to_string(std::atof(qso.band.c_str()) * 1000.0 + 1.0);
        fields.comment = qso.mode;
        fields.action = "add";
        fields.status = "cq";
        fields.timestamp = qso.timestamp;
        SpotTable table;
        SpotLook look;
        look.text = "{call} {time} {comment}";
        look.hiddenStatuses = {"dupe"};
        applySpot(table, fields, settings, 1700000000, look);
        const ContactApplied applied = applyContact(table, qso, settings, look);
        FUZZ_CHECK(applied.unusable.empty() || applied.restyled.empty());
        for (const SpotEntry& entry : table) {
            FUZZ_CHECK(entry.marks.size() <= kMarksPerSpot);
            const std::optional<std::vector<QsoMark>> back = readMarks(marksText(entry.marks));
            FUZZ_CHECK(back && back->size() == entry.marks.size());
            FUZZ_CHECK(entry.hidden == !entry.marks.empty());
            checkSpotCommand(entry);
        }
        for (const ContactApplied::Restyled& spot : applied.restyled)
            FUZZ_CHECK(table.find(spot.dxcall) != nullptr &&
                       spot.shown == !table.find(spot.dxcall)->hidden);
    }

    // Raw bytes as call sign and comment, as a DX cluster could send them.
    SpotEntry raw;
    raw.dxcall = std::string(bytes);
    raw.comment = std::string(bytes);
    raw.mode = spotMode(bytes);
    raw.frequencyHz = static_cast<double>(size) * 1000.5;
    raw.colour = static_cast<std::int64_t>(size) - 1;
    checkSpotCommand(raw);
    checkOneCommand(spotDeleteCommand(bytes), "spot_delete");

    const std::optional<std::int32_t> dds = ddsFrequencyFor(bytes, 0);
    FUZZ_CHECK(!dds || ddsForReceiver(bytes, 0));
    return 0;
}
