// One TCI text message or command, "name:arguments;", and the readers of the arguments the
// bridge acts on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TciMessage {
    std::string name;
    std::string arguments;
};

// A command as it stands inside the received text: both parts view that text.
struct TciCommandView {
    std::string_view name;
    std::string_view arguments;
};

// Splits a command at its first ':' and the first ';'. Without ':' the name runs to the first
// ';' (or the end) and the arguments are empty; a ';' before the first ':' also gives empty
// arguments, since there is no range left for them.
TciCommandView viewTciCommand(std::string_view bytes);
// The same, as a message of its own.
TciMessage splitTciMessage(std::string_view bytes);

// One message may carry several commands, each ending at its ';'. Each piece between them is
// split as above and handed to `visit` as it is found, so that a message costs no memory beyond
// its own text however many commands it holds; an empty piece is no command and is skipped.
template <typename Visit> void forEachTciCommand(std::string_view bytes, Visit&& visit) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find(';');
        const std::string_view piece = bytes.substr(0, end);
        if (!piece.empty())
            visit(viewTciCommand(piece));
        if (end == std::string_view::npos)
            break;
        bytes.remove_prefix(end + 1);
    }
}

// The text sent to the SDR: name ":" arguments ";".
std::string tciCommandText(const TciMessage& message);

// The "dds" rule: the receiver's decimal text must equal the first character of the arguments
// (so only receivers 0 to 9 can match).
bool ddsForReceiver(std::string_view arguments, std::int32_t receiver);
// The whole-number rule: the receiver field (up to the first ',', blanks around it allowed) is
// the receiver's decimal number, so that receiver 1 does not take receiver 10's frequency.
bool ddsForReceiverNumber(std::string_view arguments, std::int32_t receiver);
// The frequency of a "dds" that matched: the leading integer of the text after the first ','
// (all of it without one). Empty when there is no number, which is worth a warning.
std::optional<std::int32_t> ddsFrequencyAfterReceiver(std::string_view arguments);
// ddsForReceiver, then ddsFrequencyAfterReceiver; empty when the receiver does not match.
std::optional<std::int32_t> ddsFrequencyFor(std::string_view arguments, std::int32_t receiver);
