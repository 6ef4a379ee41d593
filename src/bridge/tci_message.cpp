#include "bridge/tci_message.h"

TciCommandView viewTciCommand(std::string_view bytes) {
    TciCommandView command;
    const std::size_t colon = bytes.find(':');
    const std::size_t semicolon = bytes.find(';');
    if (colon == std::string_view::npos) {
        command.name = bytes.substr(0, semicolon);
        return command;
    }
    command.name = bytes.substr(0, colon);
    if (semicolon == std::string_view::npos)
        command.arguments = bytes.substr(colon + 1);
    else if (semicolon > colon)
        command.arguments = bytes.substr(colon + 1, semicolon - colon - 1);
    return command;
}

TciMessage splitTciMessage(std::string_view bytes) {
    const TciCommandView command = viewTciCommand(bytes);
    return {std::string(command.name), std::string(command.arguments)};
}

std::string tciCommandText(const TciMessage& message) {
    std::string text;
    text.reserve(message.name.size() + message.arguments.size() + 2);
    text += message.name;
    text += ':';
    text += message.arguments;
    text += ';';
    return text;
}
