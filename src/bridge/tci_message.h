// One TCI text message or command: "name:arguments;".
#pragma once

#include <string>
#include <string_view>

struct TciMessage {
    std::string name;
    std::string arguments;
};

// Splits received text at its first ':' and the first ';'. Without ':' the name runs to the first
// ';' (or the end) and the arguments are empty; a ';' before the first ':' also gives empty
// arguments, since there is no range left for them.
TciMessage splitTciMessage(std::string_view bytes);

// The text sent to the SDR: name ":" arguments ";".
std::string tciCommandText(const TciMessage& message);
