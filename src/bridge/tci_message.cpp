#include "bridge/tci_message.h"

#include "settings/settings.h"
#include "text/numbers.h"

#include <string>

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

bool ddsForReceiver(std::string_view arguments, std::int32_t receiver) {
    const std::string number = std::to_string(receiver);
    return number.size() == 1 && !arguments.empty() && arguments[0] == number[0];
}

bool ddsForReceiverNumber(std::string_view arguments, std::int32_t receiver) {
    const std::string field = trimBlanks(arguments.substr(0, arguments.find(',')));
    return !field.empty() && field == std::to_string(receiver);
}

std::optional<std::int32_t> ddsFrequencyAfterReceiver(std::string_view arguments) {
    const std::size_t comma = arguments.find(',');
    return leadingInteger(comma == std::string_view::npos ? arguments
                                                          : arguments.substr(comma + 1));
}

std::optional<std::int32_t> ddsFrequencyFor(std::string_view arguments, std::int32_t receiver) {
    if (!ddsForReceiver(arguments, receiver)) {
        return std::nullopt;
    }
    return ddsFrequencyAfterReceiver(arguments);
}
