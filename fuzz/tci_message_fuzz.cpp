// Any text message from the SDR: the splitter must keep to its two separators.
#include "bridge/tci_message.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TciMessage message = splitTciMessage(text);
    const std::size_t colon = text.find(':');
    const std::size_t semicolon = text.find(';');

    FUZZ_CHECK(message.arguments.find(';') == std::string::npos);
    FUZZ_CHECK(message.name.find(':') == std::string::npos);
    FUZZ_CHECK(message.name.size() + message.arguments.size() <= size);

    if (colon == std::string_view::npos) {
        FUZZ_CHECK(message.name == text.substr(0, semicolon));
        FUZZ_CHECK(message.arguments.empty());
    } else {
        FUZZ_CHECK(message.name == text.substr(0, colon));
        if (semicolon != std::string_view::npos && semicolon < colon) {
            FUZZ_CHECK(message.arguments.empty());
        } else {
            // The arguments run from the colon to the first ';' or the end, nothing more or less.
            FUZZ_CHECK(text.substr(colon + 1, message.arguments.size()) == message.arguments);
            const std::size_t after = colon + 1 + message.arguments.size();
            FUZZ_CHECK(after == size || after == semicolon);
        }
    }

    // A command built from a split message splits back into the same message.
    if (message.name.find(';') == std::string::npos) {
        const std::string command = tciCommandText(message);
        FUZZ_CHECK(command.size() == message.name.size() + message.arguments.size() + 2);
        const TciMessage back = splitTciMessage(command);
        FUZZ_CHECK(back.name == message.name && back.arguments == message.arguments);
    }
    return 0;
}
