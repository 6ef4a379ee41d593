#include "app/command_line.h"

#include "diag/log.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace cmdline {

const std::array<OptionDescriptor, 10> kOptionTable{{
    {kUnknown, "", "", ArgRule::none, "USAGE: Tarnwick [options]\n\nOptions:"},
    {kHelp, "h", "help", ArgRule::none, "  --help, -h  \tPrint usage and exit."},
    {kSpectrum, "s", "spectrum", ArgRule::attachedOptional,
     "  --spectrum=true/false  \tEnable spectrum display?"},
    {kDebug, "d", "debug", ArgRule::attachedOptional, "  --debug= \tDebug level 0=none -> 6=all"},
    {kN1mmPort, "n", "n1mmport", ArgRule::attachedOptional, "  --n1mmport= \tPort number 1-65535"},
    {kTciHost, "t", "tcihost", ArgRule::attachedOptional,
     "  --tcihost= \tIP Address of host (127.0.0.1)"},
    {kTciPort, "p", "tciport", ArgRule::attachedOptional, "  --tciport= \tPort number 1-65535"},
    {kInstall, "i", "install", ArgRule::none, "  --install -i \tInstall Windows Service"},
    {kRemove, "r", "remove", ArgRule::none, "  --remove -r \tRemove Windows Service"},
    {kUnknown, "", "", ArgRule::none,
     "\nExamples:\n"
     "  Tarnwick -d --n1mmport=60010 --tcihost=127.0.0.1 --tciport=41001\n"
     "  Tarnwick --install\n"
     "\n"
     "All settings will be saved in Tarnwick.xml and become the default\n"},
}};

namespace {

const OptionDescriptor* findLong(const std::string& name) {
    for (const OptionDescriptor& option : kOptionTable) {
        if (option.longName[0] != '\0' && name == option.longName) {
            return &option;
        }
    }
    return nullptr;
}

const OptionDescriptor* findShort(char letter) {
    for (const OptionDescriptor& option : kOptionTable) {
        if (letter != '\0' && std::strchr(option.shortLetters, letter) != nullptr) {
            return &option;
        }
    }
    return nullptr;
}

void parseLong(const std::string& arg, ParseResult& result) {
    const std::size_t eq = arg.find('=');
    const std::string named = arg.substr(0, eq); // keeps the leading "--"
    std::optional<std::string> attached;
    if (eq != std::string::npos) {
        attached = arg.substr(eq + 1);
    }
    const OptionDescriptor* option = findLong(named.substr(2));
    if (option == nullptr) {
        result.options[kUnknown].push_back({named, attached});
        return;
    }
    if (option->rule == ArgRule::none) {
        attached.reset();
    }
    result.options[option->index].push_back({named, attached});
}

void parseShortGroup(const std::string& arg, ParseResult& result) {
    for (std::size_t i = 1; i < arg.size(); ++i) {
        const std::string letter(1, arg[i]);
        const OptionDescriptor* option = findShort(arg[i]);
        if (option == nullptr) {
            result.options[kUnknown].push_back({letter, std::nullopt});
            continue;
        }
        if (option->rule == ArgRule::attachedOptional) {
            std::optional<std::string> value;
            if (i + 1 < arg.size()) {
                value = arg.substr(i + 1);
            }
            result.options[option->index].push_back({letter, value});
            return;
        }
        result.options[option->index].push_back({letter, std::nullopt});
    }
}

// Base-10 as the C library reads it ("3x" is 3), but with no digits at all or outside 32 bits
// the value is refused instead of silently becoming 0 or a wrapped number.
bool readInt32(const std::string& text, std::int32_t& out) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE ||
        value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

// The value as the user typed it, but on one line: control characters are shown as \xNN.
// The log shows text from the peers the same way.
std::string printable(const std::string& value) {
    return tlog::escapeControls(value);
}

std::string badNumber(const char* option, const std::string& value) {
    return "Invalid value \"" + printable(value) + "\" for option --" + option +
           ": expected a decimal integer in the 32-bit range";
}

void appendWrapped(std::string& out, const std::string& text, std::size_t column,
                   std::size_t lineWidth) {
    const std::size_t room = lineWidth > column ? lineWidth - column : 1;
    if (text.size() <= room) {
        out += text;
        return;
    }
    std::size_t lineLength = 0;
    std::size_t pos = 0;
    bool firstWord = true;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::size_t wordLength = end - pos;
        if (!firstWord) {
            if (lineLength + 1 + wordLength > room) {
                out += '\n';
                out.append(column, ' ');
                lineLength = 0;
            } else {
                out += ' ';
                ++lineLength;
            }
        }
        out.append(text, pos, wordLength);
        lineLength += wordLength;
        firstWord = false;
        pos = end + 1;
    }
}

std::vector<std::string> splitRows(const std::string& text) {
    std::vector<std::string> rows;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            rows.push_back(text.substr(start));
            return rows;
        }
        rows.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
}

} // namespace

ParseResult parseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (optionsEnded) {
            result.nonOptions.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
            parseLong(arg, result);
        } else if (arg.size() > 1 && arg[0] == '-') {
            parseShortGroup(arg, result);
        } else {
            // The first non-option ends option processing; a lone "-" is one.
            optionsEnded = true;
            result.nonOptions.push_back(arg);
        }
    }
    return result;
}

ParseResult parseCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) {
            ParseResult failed;
            failed.ok = false;
            return failed;
        }
        args.emplace_back(argv[i]);
    }
    return parseCommandLine(args);
}

std::string formatUsage(const std::vector<std::string>& helpTexts, std::size_t lineWidth) {
    std::vector<std::string> rows;
    for (const std::string& text : helpTexts) {
        for (std::string& row : splitRows(text)) {
            rows.push_back(std::move(row));
        }
    }
    std::size_t width = 0;
    for (const std::string& row : rows) {
        const std::size_t tab = row.find('\t');
        if (tab != std::string::npos && tab > width) {
            width = tab;
        }
    }
    std::string out;
    for (const std::string& row : rows) {
        const std::size_t tab = row.find('\t');
        if (tab == std::string::npos) {
            out += row;
        } else {
            out.append(row, 0, tab);
            out.append(width - tab, ' ');
            appendWrapped(out, row.substr(tab + 1), width, lineWidth);
        }
        out += '\n';
    }
    return out;
}

std::string usageText() {
    std::vector<std::string> texts;
    for (const OptionDescriptor& option : kOptionTable) {
        texts.emplace_back(option.help);
    }
    return formatUsage(texts);
}

std::string diagnosticsText(const ParseResult& result) {
    std::string out;
    for (const Occurrence& unknown : result.options[kUnknown]) {
        out += "Unknown option: " + unknown.name + "\n";
    }
    for (std::size_t i = 0; i < result.nonOptions.size(); ++i) {
        out += "Non-option #" + std::to_string(i) + ": " + result.nonOptions[i] + "\n";
    }
    return out;
}

bool wantsUsage(const ParseResult& result) {
    return result.has(kHelp) || result.has(kUnknown);
}

ApplyResult applyOptions(const ParseResult& result, BridgeSettings& settings) {
    ApplyResult outcome;
    // Work on a copy so that a refused value leaves nothing half applied.
    BridgeSettings updated = settings;

    if (const Occurrence* debug = result.first(kDebug); debug && debug->value) {
        if (!readInt32(*debug->value, updated.Debug)) {
            outcome.error = badNumber("debug", *debug->value);
            return outcome;
        }
    }
    if (const Occurrence* port = result.first(kN1mmPort); port && port->value) {
        if (!readInt32(*port->value, updated.N1MMSpotPort)) {
            outcome.error = badNumber("n1mmport", *port->value);
            return outcome;
        }
    }
    if (const Occurrence* host = result.first(kTciHost); host && host->value) {
        updated.TCIHost = *host->value;
    }
    if (const Occurrence* port = result.first(kTciPort); port && port->value) {
        updated.TCIPort = *port->value;
    }
    if (const Occurrence* spectrum = result.first(kSpectrum); spectrum && spectrum->value) {
        updated.SpectrumDisplayEnabled = *spectrum->value == "true";
    }

    settings = std::move(updated);
    outcome.saveAgain = result.has(kDebug) || result.has(kN1mmPort) || result.has(kTciHost) ||
                        result.has(kTciPort) || result.has(kSpectrum);
    return outcome;
}

} // namespace cmdline
