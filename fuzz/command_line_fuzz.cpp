// Any command line (arguments split at zero bytes): the parser must account for every argument,
// and applying the options must either succeed or leave the settings exactly as they were.
#include "app/command_line.h"
#include "fuzz_check.h"
#include "settings/settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const std::size_t zero = rest.find('\0');
        args.emplace_back(rest.substr(0, zero));
        rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
    }

    const cmdline::ParseResult parsed = cmdline::parseCommandLine(args);
    FUZZ_CHECK(parsed.ok);
    // Non-options are the tail of the arguments, after at most one "--" that was dropped.
    FUZZ_CHECK(parsed.nonOptions.size() <= args.size());
    const std::size_t tail = args.size() - parsed.nonOptions.size();
    for (std::size_t i = 0; i < parsed.nonOptions.size(); ++i)
        FUZZ_CHECK(parsed.nonOptions[i] == args[tail + i]);
    std::size_t occurrences = 0;
    for (const auto& list : parsed.options)
        occurrences += list.size();
    // Every argument before them is an option or a group of them, or the "--" that ended them.
    const std::size_t optionArgs = tail > 0 && args[tail - 1] == "--" ? tail - 1 : tail;
    FUZZ_CHECK(occurrences >= optionArgs);

    // One line per unknown option and per non-option.
    const std::string diagnostics = cmdline::diagnosticsText(parsed);
    std::size_t unknownLines = 0;
    for (std::size_t at = 0; (at = diagnostics.find("Unknown option: ", at)) != std::string::npos;
         ++at)
        ++unknownLines;
    FUZZ_CHECK(unknownLines >= parsed.options[cmdline::kUnknown].size());
    FUZZ_CHECK(cmdline::wantsUsage(parsed) ==
               (parsed.has(cmdline::kHelp) || parsed.has(cmdline::kUnknown)));

    const BridgeSettings before;
    BridgeSettings settings = before;
    const cmdline::ApplyResult applied = cmdline::applyOptions(parsed, settings);
    if (applied.error) {
        FUZZ_CHECK(settingsDocument(settings) == settingsDocument(before));
        FUZZ_CHECK(applied.error->find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(applied.saveAgain ==
               (parsed.has(cmdline::kDebug) || parsed.has(cmdline::kN1mmPort) ||
                parsed.has(cmdline::kTciHost) || parsed.has(cmdline::kTciPort) ||
                parsed.has(cmdline::kSpectrum)));
    // Only the options given may change the settings.
    if (!parsed.has(cmdline::kTciHost))
        FUZZ_CHECK(settings.TCIHost == before.TCIHost);
    if (!parsed.has(cmdline::kTciPort))
        FUZZ_CHECK(settings.TCIPort == before.TCIPort);
    if (!parsed.has(cmdline::kDebug))
        FUZZ_CHECK(settings.Debug == before.Debug);
    if (!parsed.has(cmdline::kN1mmPort))
        FUZZ_CHECK(settings.N1MMSpotPort == before.N1MMSpotPort);
    if (!parsed.has(cmdline::kSpectrum))
        FUZZ_CHECK(settings.SpectrumDisplayEnabled == before.SpectrumDisplayEnabled);
    return 0;
}
