#include "bridge/tci_message.h"

TciMessage splitTciMessage(std::string_view bytes) {
    TciMessage message;
    const std::size_t colon = bytes.find(':');
    const std::size_t semicolon = bytes.find(';');
    if (colon == std::string_view::npos) {
        message.name = std::string(bytes.substr(0, semicolon));
        return message;
    }
    message.name = std::string(bytes.substr(0, colon));
    if (semicolon == std::string_view::npos) {
        message.arguments = std::string(bytes.substr(colon + 1));
    } else if (semicolon > colon) {
        message.arguments = std::string(bytes.substr(colon + 1, semicolon - colon - 1));
    }
    return message;
}

std::vector<TciMessage> splitTciCommands(std::string_view bytes) {
    std::vector<TciMessage> commands;
    std::size_t start = 0;
    do {
        const std::size_t end = bytes.find(';', start);
        if (end == std::string_view::npos) {
            if (start < bytes.size() || commands.empty())
                commands.push_back(splitTciMessage(bytes.substr(start)));
            break;
        }
        commands.push_back(splitTciMessage(bytes.substr(start, end - start)));
        start = end + 1;
    } while (start < bytes.size());
    return commands;
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
