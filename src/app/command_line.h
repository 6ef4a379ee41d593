// The command line: option table, parser, usage text, and how options land in the settings.
#pragma once

#include "settings/settings.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace cmdline {

// Indices into the option table; index 0 collects unknown options.
enum OptionIndex : int {
    kUnknown = 0,
    kHelp = 1,
    kSpectrum = 2,
    kDebug = 3,
    kN1mmPort = 4,
    kTciHost = 5,
    kTciPort = 6,
    kInstall = 7,
    kRemove = 8,
    kOptionCount = 9,
};

enum class ArgRule {
    none,             // never carries a value
    attachedOptional, // a value only when attached: --name=value or -xvalue
};

struct OptionDescriptor {
    int index;
    const char* shortLetters; // "" when none
    const char* longName;     // "" when none
    ArgRule rule;
    const char* help;
};

// In table order; this order also lays out the usage text.
extern const std::array<OptionDescriptor, 10> kOptionTable;

struct Occurrence {
    std::string name;                 // "--foo" for a long option, "x" for a short one
    std::optional<std::string> value; // absent when nothing was attached
};

struct ParseResult {
    bool ok = true; // false only when the argument vector holds a null entry
    std::array<std::vector<Occurrence>, kOptionCount> options;
    std::vector<std::string> nonOptions;

    bool has(OptionIndex index) const { return !options[index].empty(); }
    const Occurrence* first(OptionIndex index) const {
        return options[index].empty() ? nullptr : &options[index].front();
    }
};

// The arguments after the program name.
ParseResult parseCommandLine(const std::vector<std::string>& args);
// argv[0] is the program name and is skipped.
ParseResult parseCommandLine(int argc, const char* const* argv);

// Lays out help texts: rows split at '\n'; rows with a tab become two columns, the first padded
// to the widest first column; descriptions wrap at word boundaries to lineWidth.
std::string formatUsage(const std::vector<std::string>& helpTexts, std::size_t lineWidth = 80);
// The usage text of kOptionTable.
std::string usageText();

// "Unknown option: <name>\n" per unknown option, then "Non-option #<n>: <arg>\n" per non-option.
std::string diagnosticsText(const ParseResult& result);

// True when help or any unknown option occurred: print the usage text and stop.
bool wantsUsage(const ParseResult& result);

struct ApplyResult {
    bool saveAgain = false;           // one of debug, n1mmport, tcihost, tciport, spectrum occurred
    std::optional<std::string> error; // one line (no newline): start-up stops with exit code 2
};

// Applies debug, n1mmport, tcihost, tciport, spectrum in that order, first occurrence only and
// only when it carries a value. On error the settings are left exactly as they were.
ApplyResult applyOptions(const ParseResult& result, BridgeSettings& settings);

} // namespace cmdline
