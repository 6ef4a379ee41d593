#include "app/command_line.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace cmdline;

struct Seen {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const Seen& other) const { return name == other.name && value == other.value; }
};

std::vector<Seen> seen(const ParseResult& result, OptionIndex index) {
    std::vector<Seen> out;
    for (const Occurrence& o : result.options[index]) {
        out.push_back({o.name, o.value});
    }
    return out;
}

using Strings = std::vector<std::string>;

TEST(CommandLineParse, NoArgumentsGiveNothing) {
    const ParseResult r = parseCommandLine(Strings{});
    EXPECT_TRUE(r.ok);
    for (int i = 0; i < kOptionCount; ++i) {
        EXPECT_FALSE(r.has(static_cast<OptionIndex>(i)));
    }
    EXPECT_TRUE(r.nonOptions.empty());
    EXPECT_FALSE(wantsUsage(r));
}

TEST(CommandLineParse, LongOptions) {
    const ParseResult r = parseCommandLine(Strings{
        "--help", "--debug=3", "--tcihost=", "--install=yes", "--tciport=a=b", "--spectrum"});
    EXPECT_EQ(seen(r, kHelp), (std::vector<Seen>{{"--help", std::nullopt}}));
    EXPECT_EQ(seen(r, kDebug), (std::vector<Seen>{{"--debug", "3"}}));
    EXPECT_EQ(seen(r, kTciHost), (std::vector<Seen>{{"--tcihost", ""}}));
    // Rule none: anything after "=" is ignored.
    EXPECT_EQ(seen(r, kInstall), (std::vector<Seen>{{"--install", std::nullopt}}));
    EXPECT_EQ(seen(r, kTciPort), (std::vector<Seen>{{"--tciport", "a=b"}}));
    EXPECT_EQ(seen(r, kSpectrum), (std::vector<Seen>{{"--spectrum", std::nullopt}}));
    EXPECT_FALSE(r.has(kUnknown));
}

TEST(CommandLineParse, LongNamesMatchInFullAndCaseSensitively) {
    const ParseResult r =
        parseCommandLine(Strings{"--deb=1", "--HELP", "--helpme", "--foo=1", "--="});
    EXPECT_EQ(seen(r, kUnknown), (std::vector<Seen>{{"--deb", "1"},
                                                    {"--HELP", std::nullopt},
                                                    {"--helpme", std::nullopt},
                                                    {"--foo", "1"},
                                                    {"--", ""}}));
    EXPECT_FALSE(r.has(kDebug));
    EXPECT_FALSE(r.has(kHelp));
    EXPECT_TRUE(wantsUsage(r));
}

TEST(CommandLineParse, AttachedOptionalNeverTakesTheNextArgument) {
    const ParseResult r = parseCommandLine(Strings{"--debug", "3", "--help"});
    EXPECT_EQ(seen(r, kDebug), (std::vector<Seen>{{"--debug", std::nullopt}}));
    // "3" ends option processing, so --help is a non-option too.
    EXPECT_EQ(r.nonOptions, (Strings{"3", "--help"}));
    EXPECT_FALSE(r.has(kHelp));

    const ParseResult s = parseCommandLine(Strings{"-d", "4"});
    EXPECT_EQ(seen(s, kDebug), (std::vector<Seen>{{"d", std::nullopt}}));
    EXPECT_EQ(s.nonOptions, (Strings{"4"}));
}

TEST(CommandLineParse, ShortOptions) {
    const ParseResult r =
        parseCommandLine(Strings{"-d4", "-n60010", "-t127.0.0.1", "-strue", "-p", "-ir", "-h"});
    EXPECT_EQ(seen(r, kDebug), (std::vector<Seen>{{"d", "4"}}));
    EXPECT_EQ(seen(r, kN1mmPort), (std::vector<Seen>{{"n", "60010"}}));
    EXPECT_EQ(seen(r, kTciHost), (std::vector<Seen>{{"t", "127.0.0.1"}}));
    EXPECT_EQ(seen(r, kSpectrum), (std::vector<Seen>{{"s", "true"}}));
    EXPECT_EQ(seen(r, kTciPort), (std::vector<Seen>{{"p", std::nullopt}}));
    EXPECT_EQ(seen(r, kInstall), (std::vector<Seen>{{"i", std::nullopt}}));
    EXPECT_EQ(seen(r, kRemove), (std::vector<Seen>{{"r", std::nullopt}}));
    EXPECT_EQ(seen(r, kHelp), (std::vector<Seen>{{"h", std::nullopt}}));
    EXPECT_TRUE(r.nonOptions.empty());
}

TEST(CommandLineParse, ShortGroupsAndUnknownLetters) {
    // A value-taking letter ends the group; unknown letters are recorded by the letter alone.
    const ParseResult r = parseCommandLine(Strings{"-debug", "-xhd5r", "-H", "-hd"});
    EXPECT_EQ(seen(r, kDebug),
              (std::vector<Seen>{{"d", "ebug"}, {"d", "5r"}, {"d", std::nullopt}}));
    EXPECT_EQ(seen(r, kUnknown), (std::vector<Seen>{{"x", std::nullopt}, {"H", std::nullopt}}));
    EXPECT_EQ(seen(r, kHelp), (std::vector<Seen>{{"h", std::nullopt}, {"h", std::nullopt}}));
    EXPECT_FALSE(r.has(kRemove));
}

TEST(CommandLineParse, NonOptionsEndOptionProcessing) {
    ParseResult r = parseCommandLine(Strings{"file.txt", "--debug=3", "-h"});
    EXPECT_EQ(r.nonOptions, (Strings{"file.txt", "--debug=3", "-h"}));
    EXPECT_FALSE(r.has(kDebug));

    r = parseCommandLine(Strings{"-h", "-", "-d3"});
    EXPECT_TRUE(r.has(kHelp));
    EXPECT_EQ(r.nonOptions, (Strings{"-", "-d3"}));
    EXPECT_FALSE(r.has(kDebug));

    // A lone "--" is dropped; what follows is non-options, a second "--" included.
    r = parseCommandLine(Strings{"-i", "--", "--remove", "--", "x"});
    EXPECT_TRUE(r.has(kInstall));
    EXPECT_FALSE(r.has(kRemove));
    EXPECT_EQ(r.nonOptions, (Strings{"--remove", "--", "x"}));

    r = parseCommandLine(Strings{"", "-h"});
    EXPECT_EQ(r.nonOptions, (Strings{"", "-h"}));
}

TEST(CommandLineParse, RepeatedOptionsKeepCommandLineOrder) {
    const ParseResult r = parseCommandLine(Strings{"--debug=5", "-d", "--debug=2"});
    EXPECT_EQ(seen(r, kDebug),
              (std::vector<Seen>{{"--debug", "5"}, {"d", std::nullopt}, {"--debug", "2"}}));
}

TEST(CommandLineParse, ArgvFormSkipsTheProgramName) {
    const char* argv[] = {"tarnwick", "-d4", "rest", nullptr};
    const ParseResult r = parseCommandLine(3, argv);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(seen(r, kDebug), (std::vector<Seen>{{"d", "4"}}));
    EXPECT_EQ(r.nonOptions, (Strings{"rest"}));

    const char* broken[] = {"tarnwick", nullptr};
    EXPECT_FALSE(parseCommandLine(2, broken).ok);
    EXPECT_TRUE(parseCommandLine(1, broken).ok);
}

// The expected text is kept as a file of its own, shared with the end-to-end test of the program.
TEST(CommandLineText, UsageTextIsExact) {
    std::ifstream in(std::string(TARNWICK_TEST_DATA) + "/usage.txt", std::ios::binary);
    ASSERT_TRUE(in) << "tests/data/usage.txt";
    const std::string expected{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    ASSERT_EQ(expected.size(), 596u) << "the fixture itself was changed";
    EXPECT_EQ(usageText(), expected);
}

TEST(CommandLineText, LongDescriptionsWrapUnderTheirColumn) {
    EXPECT_EQ(formatUsage({"Title", " -a \tone two three four", " --bb \tshort"}, 16),
              "Title\n"
              " -a   one two\n"
              "      three four\n"
              " --bb short\n");
    // A word wider than the room goes on a line of its own rather than being cut.
    EXPECT_EQ(formatUsage({"x \tabcdefghij k"}, 6), "x abcdefghij\n  k\n");
}

TEST(CommandLineText, UnknownAndNonOptionLines) {
    const ParseResult r = parseCommandLine(Strings{"--foo=1", "-x", "--help", "a b", "-q"});
    EXPECT_EQ(diagnosticsText(r), "Unknown option: --foo\n"
                                  "Unknown option: x\n"
                                  "Non-option #0: a b\n"
                                  "Non-option #1: -q\n");
    EXPECT_TRUE(wantsUsage(r));
    EXPECT_EQ(diagnosticsText(parseCommandLine(Strings{"-d"})), "");
}

BridgeSettings applied(const Strings& args, bool expectSave, BridgeSettings start = {}) {
    const ApplyResult outcome = applyOptions(parseCommandLine(args), start);
    EXPECT_FALSE(outcome.error.has_value()) << *outcome.error;
    EXPECT_EQ(outcome.saveAgain, expectSave);
    return start;
}

TEST(CommandLineApply, ValuesLandInTheSettings) {
    const BridgeSettings s = applied(
        {"--debug=4", "-n60010", "--tcihost=sdr.local", "--tciport=abc", "--spectrum=true"}, true);
    EXPECT_EQ(s.Debug, 4);
    EXPECT_EQ(s.N1MMSpotPort, 60010);
    EXPECT_EQ(s.TCIHost, "sdr.local");
    EXPECT_EQ(s.TCIPort, "abc");
    EXPECT_TRUE(s.SpectrumDisplayEnabled);
    EXPECT_EQ(s.SpotLifeTime, 7200);
}

TEST(CommandLineApply, FirstOccurrenceOnlyAndOnlyWithAValue) {
    EXPECT_EQ(applied({"--debug=5", "--debug=2"}, true).Debug, 5);
    EXPECT_EQ(applied({"-d", "--debug=2"}, true).Debug, 0);
    EXPECT_EQ(applied({"-d"}, true).Debug, 0);
    EXPECT_EQ(applied({"--debug", "3"}, true).Debug, 0);
    EXPECT_EQ(applied({"--tcihost="}, true).TCIHost, "");
    EXPECT_EQ(applied({"--tcihost"}, true).TCIHost, "127.0.0.1");
    // Non-options end processing before --debug=3: nothing applied, nothing saved.
    EXPECT_EQ(applied({"file.txt", "--debug=3"}, false).Debug, 0);
    applied({"--install", "-r", "-h"}, false);
}

TEST(CommandLineApply, NumbersReadAsTheCLibraryDoes) {
    EXPECT_EQ(applied({"--debug=3x"}, true).Debug, 3);
    EXPECT_EQ(applied({"--debug= 7"}, true).Debug, 7);
    EXPECT_EQ(applied({"--debug=-1"}, true).Debug, -1);
    EXPECT_EQ(applied({"--debug=9"}, true).Debug, 9);
    EXPECT_EQ(applied({"--n1mmport=70000"}, true).N1MMSpotPort, 70000);
    EXPECT_EQ(applied({"--n1mmport=2147483647"}, true).N1MMSpotPort, 2147483647);
    EXPECT_EQ(applied({"-n-2147483648"}, true).N1MMSpotPort, -2147483647 - 1);
}

TEST(CommandLineApply, SpectrumNeedsExactlyTrue) {
    BridgeSettings on;
    on.SpectrumDisplayEnabled = true;
    EXPECT_FALSE(applied({"--spectrum=TRUE"}, true, on).SpectrumDisplayEnabled);
    EXPECT_FALSE(applied({"--spectrum=1"}, true, on).SpectrumDisplayEnabled);
    EXPECT_FALSE(applied({"-sfalse"}, true, on).SpectrumDisplayEnabled);
    EXPECT_TRUE(applied({"--spectrum"}, true, on).SpectrumDisplayEnabled);
    EXPECT_FALSE(applied({"--spectrum"}, true).SpectrumDisplayEnabled);
    EXPECT_TRUE(applied({"-strue"}, true).SpectrumDisplayEnabled);
}

TEST(CommandLineApply, BadNumbersStopWithoutApplyingAnything) {
    struct Case {
        Strings args;
        const char* message;
    };
    const Case cases[] = {
        {{"--debug=abc"},
         "Invalid value \"abc\" for option --debug: expected a decimal integer "
         "in the 32-bit range"},
        {{"--debug="},
         "Invalid value \"\" for option --debug: expected a decimal integer in the "
         "32-bit range"},
        {{"-debug"},
         "Invalid value \"ebug\" for option --debug: expected a decimal integer in "
         "the 32-bit range"},
        {{"--n1mmport=99999999999"},
         "Invalid value \"99999999999\" for option --n1mmport: "
         "expected a decimal integer in the 32-bit range"},
        {{"--tcihost=x", "--debug=4", "-n-2147483649", "--spectrum=true"},
         "Invalid value \"-2147483649\" for option --n1mmport: expected a decimal integer in the "
         "32-bit range"},
        {{"--debug=+"},
         "Invalid value \"+\" for option --debug: expected a decimal integer in "
         "the 32-bit range"},
        // The message stays one line whatever the value holds.
        {{"-n\x1b[2J\n5"},
         "Invalid value \"\\x1b[2J\\x0a5\" for option --n1mmport: expected a decimal integer "
         "in the 32-bit range"},
    };
    for (const Case& c : cases) {
        BridgeSettings settings;
        const ApplyResult outcome = applyOptions(parseCommandLine(c.args), settings);
        ASSERT_TRUE(outcome.error.has_value()) << c.args.front();
        EXPECT_EQ(*outcome.error, c.message);
        EXPECT_FALSE(outcome.saveAgain);
        const BridgeSettings defaults;
        EXPECT_EQ(settings.Debug, defaults.Debug);
        EXPECT_EQ(settings.N1MMSpotPort, defaults.N1MMSpotPort);
        EXPECT_EQ(settings.TCIHost, defaults.TCIHost);
        EXPECT_EQ(settings.SpectrumDisplayEnabled, defaults.SpectrumDisplayEnabled);
    }
    // Only the first occurrence is read, so a bad later one is never looked at.
    EXPECT_EQ(applied({"--debug=2", "--debug=abc"}, true).Debug, 2);
}

} // namespace
