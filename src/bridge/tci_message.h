// One TCI text message or command: "name:arguments;".
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct TciMessage {
    std::string name;
    std::string arguments;
};

// Splits received text at its first ':' and the first ';'. Without ':' the name runs to the first
// ';' (or the end) and the arguments are empty; a ';' before the first ':' also gives empty
// arguments, since there is no range left for them.
TciMessage splitTciMessage(std::string_view bytes);

// One message may carry several commands, each ending at its ';': every piece is split as above.
// A piece after the last ';' counts only when it is not empty; an empty message is one empty
// command.
std::vector<TciMessage> splitTciCommands(std::string_view bytes);

// The text sent to the SDR: name ":" arguments ";".
std::string tciCommandText(const TciMessage& message);
