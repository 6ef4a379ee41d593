#include "spots/tci_spot_commands.h"

#include "text/utf8.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace {

// The longest whole-hertz text of a double: DBL_MAX has 309 digits, and a sign comes first.
constexpr std::size_t kLongestHertz = 310;
// "spot:", four commas and the final ';', the longest mode word and a 64-bit colour in decimal.
constexpr std::size_t kLongestSpotFrame = 5 + 4 + 1 + 4 + 20;
static_assert(kLongestSpotFrame + kCallSignLimit + kLongestHertz < kTciCommandLimit,
              "a spot command must always have room for the start of its comment");

// Everything of the add command before the comment.
std::string spotCommandHead(const SpotEntry& entry) {
    // Whole hertz, rounded half to even as printf does, and never "-0".
    double hz = std::nearbyint(entry.frequencyHz);
    if (hz == 0.0) {
        hz = 0.0;
    }
    char digits[kLongestHertz];
    const auto printed =
        std::to_chars(digits, digits + sizeof digits, hz, std::chars_format::fixed, 0);
    const std::string_view frequency =
        printed.ec == std::errc() ? std::string_view(digits, printed.ptr - digits) : "0";

    std::string head = "spot:";
    head += tciSafeText(entry.dxcall);
    head += ',';
    head += tciSafeText(entry.mode);
    head += ',';
    head += frequency;
    head += ',';
    head += std::to_string(entry.colour);
    head += ',';
    return head;
}

// Bytes of comment that fit in a command with this head and its final ';'.
std::size_t commentRoom(const std::string& head) {
    return head.size() < kTciCommandLimit ? kTciCommandLimit - head.size() - 1 : 0;
}

} // namespace

bool isTciControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

void boundSpotEntry(SpotEntry& entry) {
    for (std::string* field : {&entry.StationName, &entry.frequency, &entry.spottercall,
                               &entry.action, &entry.status, &entry.statuslist, &entry.timestamp}) {
        field->resize(utf8Prefix(*field, kLogFieldLimit).size());
        field->shrink_to_fit();
    }
    entry.comment.resize(utf8Prefix(entry.comment, commentRoom(spotCommandHead(entry))).size());
    entry.comment.shrink_to_fit();
}

std::string tciSafeText(std::string_view text) {
    std::string safe = repairedUtf8(text);
    for (char& c : safe) {
        if (c == ';' || isTciControl(c)) {
            c = ' ';
        }
    }
    return safe;
}

std::string spotCommand(const SpotEntry& entry) {
    std::string command = spotCommandHead(entry);
    // Mended before the cut, which then falls on a character boundary of what is sent.
    command += utf8Prefix(tciSafeText(entry.comment), commentRoom(command));
    command += ';';
    return command;
}

std::string shownCommand(const SpotEntry& entry) {
    return entry.hidden ? std::string() : spotCommand(entry);
}

std::string spotDeleteCommand(std::string_view dxcall) {
    return "spot_delete:" + tciSafeText(dxcall) + ";";
}
