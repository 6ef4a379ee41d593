#include "settings/settings.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using testfiles::readAll;
using testfiles::TempFolder;

// A unique file in the temp directory, removed when the test ends.
class TempFile {
public:
    TempFile() {
        static std::atomic<unsigned> counter{0};
        std::random_device random;
        std::ostringstream name;
        name << "tarnwick-settings-" << std::hex << random() << '-' << random() << '-' << counter++
             << ".xml";
        path_ = (fs::temp_directory_path() / name.str()).string();
    }
    ~TempFile() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }

    void write(const std::string& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    std::string read() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

std::string readFixture(const std::string& name) {
    std::ifstream in(std::string(TARNWICK_TEST_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << "missing fixture " << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void replaceOnce(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

// The three required elements followed by the given extra children.
std::string fileWith(const std::string& extra, const std::string& root = "Tarnwick") {
    return "<" + root +
           ">\n"
           "    <N1MMSpotPort>12062</N1MMSpotPort>\n"
           "    <TCIHost>127.0.0.1</TCIHost>\n"
           "    <TCIPort>40001</TCIPort>\n" +
           extra + "</" + root + ">\n";
}

// Whether permission bits stop this process from writing (not so for root, or under Wine run
// by root): the cases that rely on them are left out where they do not.
bool permissionsBind(const fs::path& folder) {
    const fs::path probe = folder / "probe";
    std::ofstream(probe) << "x";
    fs::permissions(probe, fs::perms::owner_read);
    const bool bind = !platform::openFile(probe, "r+b");
    fs::permissions(probe, fs::perms::owner_all);
    fs::remove(probe);
    return bind;
}

BridgeSettings loadFrom(const std::string& contents, BridgeSettings start = {},
                        bool expectOk = true) {
    TempFile file;
    file.write(contents);
    EXPECT_EQ(loadSettings(file.path(), start), expectOk);
    return start;
}

void expectSameSettings(const BridgeSettings& a, const BridgeSettings& b) {
    EXPECT_EQ(a.N1MMSpotPort, b.N1MMSpotPort);
    EXPECT_EQ(a.TCIHost, b.TCIHost);
    EXPECT_EQ(a.TCIPort, b.TCIPort);
    EXPECT_EQ(a.SpotBusyColour, b.SpotBusyColour);
    EXPECT_EQ(a.SpotBustColour, b.SpotBustColour);
    EXPECT_EQ(a.SpotCQColour, b.SpotCQColour);
    EXPECT_EQ(a.SpotDupeColour, b.SpotDupeColour);
    EXPECT_EQ(a.SpotSingleMultColour, b.SpotSingleMultColour);
    EXPECT_EQ(a.SpotDoubleMultColour, b.SpotDoubleMultColour);
    EXPECT_EQ(a.SpotNewQSOColour, b.SpotNewQSOColour);
    EXPECT_EQ(a.Debug, b.Debug);
    EXPECT_EQ(a.SpotLifeTime, b.SpotLifeTime);
    EXPECT_EQ(a.SpectrumDisplayEnabled, b.SpectrumDisplayEnabled);
    EXPECT_EQ(a.SpectrumReceiverNumber, b.SpectrumReceiverNumber);
    EXPECT_EQ(a.SpectrumScalingFactor, b.SpectrumScalingFactor);
    EXPECT_EQ(a.SpectrumDisplayHost, b.SpectrumDisplayHost);
    EXPECT_EQ(a.SpectrumDisplayPort, b.SpectrumDisplayPort);
    EXPECT_EQ(a.SpectrumSampleRate, b.SpectrumSampleRate);
    EXPECT_EQ(a.SpectrumSampleSize, b.SpectrumSampleSize);
    EXPECT_EQ(a.SpectrumFrequency, b.SpectrumFrequency);
    EXPECT_EQ(a.SpectrumCorrection, b.SpectrumCorrection);
    EXPECT_EQ(a.SpectrumAveraging, b.SpectrumAveraging);
    EXPECT_EQ(a.TCI2Host, b.TCI2Host);
    EXPECT_EQ(a.TCI2Port, b.TCI2Port);
    EXPECT_EQ(a.SpectrumName, b.SpectrumName);
    EXPECT_EQ(a.Spectrum2ReceiverNumber, b.Spectrum2ReceiverNumber);
    EXPECT_EQ(a.Spectrum2Name, b.Spectrum2Name);
    EXPECT_EQ(a.Spectrum2RadioNr, b.Spectrum2RadioNr);
    EXPECT_EQ(a.SpotText, b.SpotText);
    EXPECT_EQ(a.SpotHiddenStatuses, b.SpotHiddenStatuses);
    EXPECT_EQ(a.SpotOnlyRadioBands, b.SpotOnlyRadioBands);
    ASSERT_EQ(a.Transverters.size(), b.Transverters.size());
    for (std::size_t i = 0; i < a.Transverters.size(); ++i) {
        EXPECT_EQ(a.Transverters[i].rf, b.Transverters[i].rf) << "entry " << i;
        EXPECT_EQ(a.Transverters[i].ifreq, b.Transverters[i].ifreq) << "entry " << i;
    }
}

TEST(SettingsFile, DefaultsAreWrittenInTheExactLayout) {
    TempFile file;
    BridgeSettings settings;
    EXPECT_FALSE(loadSettings(file.path(), settings)); // no file yet
    saveSettings(file.path(), settings);
    EXPECT_EQ(file.read(), readFixture("Tarnwick.default.xml"));

    BridgeSettings reread;
    reread.N1MMSpotPort = 1;
    reread.Transverters.clear();
    ASSERT_TRUE(loadSettings(file.path(), reread));
    expectSameSettings(reread, BridgeSettings{});
}

TEST(SettingsFile, SaveReplacesAnExistingFile) {
    TempFile file;
    file.write(std::string(5000, 'x'));
    saveSettings(file.path(), BridgeSettings{});
    EXPECT_EQ(file.read(), readFixture("Tarnwick.default.xml"));
}

TEST(SettingsFile, RoundTripKeepsEveryField) {
    BridgeSettings saved;
    saved.N1MMSpotPort = 70000;
    saved.TCIHost = "sdr & <shack> \"one\"";
    saved.TCIPort = "abc";
    saved.SpotBusyColour = 0;
    saved.SpotBustColour = 0x1;
    saved.SpotCQColour = 0x7FFFFFFFFFFFFFFF;
    saved.SpotDupeColour = 0xFF00FF00;
    saved.SpotSingleMultColour = 0x123456789A;
    saved.SpotDoubleMultColour = 0xFF0D9D0E;
    saved.SpotNewQSOColour = 0xABCDEF;
    saved.Debug = -3;
    saved.SpotLifeTime = 60;
    saved.SpectrumDisplayEnabled = true;
    saved.SpectrumReceiverNumber = 1;
    saved.SpectrumScalingFactor = "0.25";
    saved.SpectrumDisplayHost = "192.168.1.20";
    saved.SpectrumDisplayPort = "13065";
    saved.SpectrumSampleRate = 192000;
    saved.SpectrumSampleSize = 256;
    saved.SpectrumFrequency = 10;
    saved.SpectrumCorrection = -7;
    saved.SpectrumAveraging = " false ";
    saved.Spectrum2ReceiverNumber = "1";
    saved.Spectrum2Name = "SO2V <B>";
    saved.SpotText = "{call} de {spotter} <{time}>";
    saved.Transverters = {{10368000.1, 144000.000000001}, {0.1, 1.0 / 3.0}, {50000, 28000}};

    TempFile file;
    saveSettings(file.path(), saved);
    BridgeSettings loaded;
    loaded.logFile = "kept";
    loaded.interactive = true;
    ASSERT_TRUE(loadSettings(file.path(), loaded));
    expectSameSettings(loaded, saved);
    EXPECT_EQ(loaded.logFile, "kept"); // not persisted
    EXPECT_TRUE(loaded.interactive);

    const std::string text = file.read();
    EXPECT_NE(text.find("<TCIHost>sdr &amp; &lt;shack&gt; \"one\"</TCIHost>"), std::string::npos);
    EXPECT_NE(text.find("<Transverter rf=\"0.10000000000000001\" if=\"0.33333333333333331\"/>"),
              std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

// The second spectrum's and the spots' optional elements: only a file that holds them gets them
// back, as written and after the standard elements, so that every other station's file stays as it
// is.
TEST(SettingsFile, OptionalSpectrumElementsComeBackOnlyWhenPresent) {
    const std::string defaults = readFixture("Tarnwick.default.xml");
    const std::string added = "    <SpectrumAveraging>true</SpectrumAveraging>\n"
                              "    <TCI2Host>shack-pc2</TCI2Host>\n"
                              "    <TCI2Port> 40002</TCI2Port>\n"
                              "    <SpectrumName>K3 left</SpectrumName>\n"
                              "    <Spectrum2ReceiverNumber> one </Spectrum2ReceiverNumber>\n"
                              "    <Spectrum2RadioNr></Spectrum2RadioNr>\n"
                              "    <SpotHiddenStatuses> Dupe , busy</SpotHiddenStatuses>\n"
                              "    <SpotOnlyRadioBands>true</SpotOnlyRadioBands>\n";
    std::string text = defaults;
    const std::size_t at = text.find("    <Transverters>");
    ASSERT_NE(at, std::string::npos);
    text.insert(at, added);

    const BridgeSettings loaded = loadFrom(text, BridgeSettings{});
    EXPECT_EQ(loaded.SpectrumAveraging, "true");
    EXPECT_EQ(loaded.TCI2Host, "shack-pc2");
    EXPECT_EQ(loaded.TCI2Port, " 40002");
    EXPECT_EQ(loaded.SpectrumName, "K3 left");
    EXPECT_EQ(loaded.Spectrum2ReceiverNumber, " one "); // checked by the bridge, kept here
    EXPECT_EQ(loaded.Spectrum2Name, std::nullopt);
    EXPECT_EQ(loaded.Spectrum2RadioNr, "");
    EXPECT_EQ(loaded.SpotText, std::nullopt);
    EXPECT_EQ(loaded.SpotHiddenStatuses, " Dupe , busy");
    EXPECT_EQ(loaded.SpotOnlyRadioBands, "true");
    EXPECT_EQ(settingsDocument(loaded), text);
    EXPECT_EQ(settingsDocument(loadFrom(defaults, BridgeSettings{})), defaults);
}

TEST(SettingsFile, NegativeColourIsWrittenButNotReadBack) {
    BridgeSettings saved;
    saved.SpotBusyColour = -1;
    saved.SpotBustColour = -256;
    const std::string text = settingsDocument(saved);
    EXPECT_NE(text.find("<SpotBusyColour>0xffffffffffffffff</SpotBusyColour>"), std::string::npos);
    EXPECT_NE(text.find("<SpotBustColour>0xffffffffffffff00</SpotBustColour>"), std::string::npos);

    BridgeSettings before;
    before.SpotBusyColour = 0x42;
    const BridgeSettings loaded = loadFrom(text, before);
    EXPECT_EQ(loaded.SpotBusyColour, 0x42);
    EXPECT_EQ(loaded.SpotBustColour, 0xFF4D4D4D);
}

TEST(SettingsFile, UnreadableFilesReturnFalse) {
    TempFile missing;
    BridgeSettings settings;
    EXPECT_FALSE(loadSettings(missing.path(), settings));
    loadFrom("", {}, false);
    loadFrom("<Tarnwick><N1MMSpotPort>1</N1MMSpotPort>", {}, false); // not well-formed
    loadFrom("just text", {}, false);
}

TEST(SettingsFile, MissingRequiredElementKeepsWhatWasReadBefore) {
    // TCIHost missing: the port is taken, everything else keeps its default.
    std::string contents = readFixture("Tarnwick.default.xml");
    replaceOnce(contents, "<N1MMSpotPort>12062<", "<N1MMSpotPort>5000<");
    replaceOnce(contents, "    <TCIHost>127.0.0.1</TCIHost>\n", "");
    replaceOnce(contents, "<Debug>0<", "<Debug>6<");
    replaceOnce(contents, "<TCIPort>40001<", "<TCIPort>1<");
    replaceOnce(contents, "<Transverters>", "<Transverters><Transverter rf=\"1\" if=\"2\"/>");

    TempFile file;
    file.write(contents);
    BridgeSettings settings;
    EXPECT_FALSE(loadSettings(file.path(), settings));
    BridgeSettings expected;
    expected.N1MMSpotPort = 5000;
    expectSameSettings(settings, expected);

    // Rewritten, the file holds that mixture.
    saveSettings(file.path(), settings);
    std::string mixture = readFixture("Tarnwick.default.xml");
    replaceOnce(mixture, "<N1MMSpotPort>12062<", "<N1MMSpotPort>5000<");
    EXPECT_EQ(file.read(), mixture);

    // TCIPort missing: port and host are taken.
    BridgeSettings partial = loadFrom(
        "<T><N1MMSpotPort>1</N1MMSpotPort><TCIHost>h</TCIHost><Debug>4</Debug></T>", {}, false);
    EXPECT_EQ(partial.N1MMSpotPort, 1);
    EXPECT_EQ(partial.TCIHost, "h");
    EXPECT_EQ(partial.Debug, 0);
}

TEST(SettingsFile, LeadingDeclarationOrCommentMakesTheFileUnreadable) {
    BridgeSettings before;
    before.N1MMSpotPort = 1;
    const std::string body = fileWith("    <Debug>5</Debug>\n");
    BridgeSettings loaded = loadFrom("<?xml version=\"1.0\"?>\n" + body, before, false);
    EXPECT_EQ(loaded.N1MMSpotPort, 1);
    EXPECT_EQ(loaded.Debug, 0);
    loaded = loadFrom("<!-- hand edited -->\n" + body, before, false);
    EXPECT_EQ(loaded.N1MMSpotPort, 1);
}

TEST(SettingsFile, AnyRootNameIsReadNormally) {
    std::string contents = readFixture("Tarnwick.default.xml");
    replaceOnce(contents, "<Tarnwick>", "<MySettings>");
    replaceOnce(contents, "</Tarnwick>", "</MySettings>");
    replaceOnce(contents, "<SpotLifeTime>7200<", "<SpotLifeTime>30<");
    BridgeSettings loaded = loadFrom(contents);
    EXPECT_EQ(loaded.SpotLifeTime, 30);
}

TEST(SettingsFile, EmptyTextElements) {
    BridgeSettings loaded =
        loadFrom("<Tarnwick><N1MMSpotPort>1</N1MMSpotPort><TCIHost/><TCIPort></TCIPort>"
                 "<SpectrumDisplayHost/><SpectrumScalingFactor></SpectrumScalingFactor>"
                 "<Debug/><SpotCQColour/></Tarnwick>");
    EXPECT_EQ(loaded.TCIHost, "");
    EXPECT_EQ(loaded.TCIPort, "");
    EXPECT_EQ(loaded.SpectrumDisplayHost, "");
    EXPECT_EQ(loaded.SpectrumScalingFactor, "");
    EXPECT_EQ(loaded.Debug, 0);                 // an integer without text keeps its value
    EXPECT_EQ(loaded.SpotCQColour, 0xFF51A8FF); // so does a colour

    BridgeSettings saved;
    saved.TCIHost = "";
    TempFile file;
    saveSettings(file.path(), saved);
    BridgeSettings reread;
    ASSERT_TRUE(loadSettings(file.path(), reread));
    EXPECT_EQ(reread.TCIHost, "");
}

TEST(SettingsFile, ColourReading) {
    struct Case {
        const char* text;
        std::int64_t expected;
    };
    const std::int64_t before = 0x1234;
    const Case cases[] = {
        {"ff51a8ff", 0xFF51A8FF},
        {"0xFF51A8FF", 0xFF51A8FF},
        {"0Xff51a8ff", 0xFF51A8FF},
        {"  0xff", 0xFF},
        {"-ff", -255},
        {"12zz", 0x12},
        {"7fffffffffffffff", INT64_MAX},
        {"red", before},
        {"", before},
        {"8000000000000000", before},
        {"0x1ffffffffffffffff", before},
    };
    for (const Case& c : cases) {
        BridgeSettings start;
        start.SpotCQColour = before;
        const BridgeSettings loaded =
            loadFrom(fileWith(std::string("<SpotCQColour>") + c.text + "</SpotCQColour>"), start);
        EXPECT_EQ(loaded.SpotCQColour, c.expected) << '"' << c.text << '"';
    }

    // One bad colour does not disturb the next one.
    const BridgeSettings loaded = loadFrom(
        fileWith("<SpotBusyColour>red</SpotBusyColour><SpotBustColour>ff</SpotBustColour>"));
    EXPECT_EQ(loaded.SpotBusyColour, 0xFF4D4D4D);
    EXPECT_EQ(loaded.SpotBustColour, 0xFF);
}

TEST(SettingsFile, IntegerReading) {
    struct Case {
        const char* text;
        std::int32_t expected;
    };
    const std::int32_t before = 12062;
    const Case cases[] = {
        {"12063abc", 12063},
        {"0x2F1E", 0},
        {" -5", -5},
        {"+7", 7},
        {"abc", before},
        {"", before},
        {"2147483647", 2147483647},
        {"99999999999", before},
        {"-2147483649", before},
    };
    for (const Case& c : cases) {
        const std::string contents = std::string("<T><N1MMSpotPort>") + c.text +
                                     "</N1MMSpotPort><TCIHost/><TCIPort/>"
                                     "<SpectrumCorrection>" +
                                     c.text + "</SpectrumCorrection></T>";
        BridgeSettings start;
        start.SpectrumCorrection = before;
        const BridgeSettings loaded = loadFrom(contents, start);
        EXPECT_EQ(loaded.N1MMSpotPort, c.expected) << '"' << c.text << '"';
        EXPECT_EQ(loaded.SpectrumCorrection, c.expected) << '"' << c.text << '"';
    }
}

TEST(SettingsFile, SpectrumDisplayEnabledRules) {
    struct Case {
        const char* element; // nullptr: the element is missing
        bool before;
        bool expected;
    };
    const Case cases[] = {
        {"1", false, true},    {"0", true, false},     {"-2", false, true},
        {"true", false, true}, {"false", true, false}, {"TRUE", false, false},
        {"TRUE", true, true},  {"yes", true, true},    {"", true, true},
        {"3abc", false, true}, {nullptr, true, false},
    };
    for (const Case& c : cases) {
        const std::string extra =
            c.element == nullptr
                ? std::string()
                : std::string("<SpectrumDisplayEnabled>") + c.element + "</SpectrumDisplayEnabled>";
        BridgeSettings start;
        start.SpectrumDisplayEnabled = c.before;
        const BridgeSettings loaded = loadFrom(fileWith(extra), start);
        EXPECT_EQ(loaded.SpectrumDisplayEnabled, c.expected)
            << (c.element ? c.element : "(missing)") << " before " << c.before;
    }
}

TEST(SettingsFile, TransverterRules) {
    const BridgeSettings loaded = loadFrom(fileWith(R"(<Transverters>
        <Transverter rf="50000" lo="28000"/>
        <Transverter rf="70000" if="0.5"/>
        <!-- skipped -->
        <Transverter rf="10368000" if="0.5" lo="432000"/>
        some text
        <Other if="144000" lo="28000"/>
        <Transverter rf="abc" if="-1" lo="junk"/>
        <Transverter rf="  1.5e3" if="2"/>
    </Transverters>)"));
    ASSERT_EQ(loaded.Transverters.size(), 6u);
    EXPECT_EQ(loaded.Transverters[0].rf, 50000);
    EXPECT_EQ(loaded.Transverters[0].ifreq, 28000);
    EXPECT_EQ(loaded.Transverters[1].rf, 70000);
    EXPECT_EQ(loaded.Transverters[1].ifreq, 0.5);
    EXPECT_EQ(loaded.Transverters[2].ifreq, 432000);
    EXPECT_EQ(loaded.Transverters[3].rf, 0); // no rf attribute
    EXPECT_EQ(loaded.Transverters[3].ifreq, 144000);
    EXPECT_EQ(loaded.Transverters[4].rf, 0);
    EXPECT_EQ(loaded.Transverters[4].ifreq, -1); // "lo" unreadable: "if" stays
    EXPECT_EQ(loaded.Transverters[5].rf, 1500);
    EXPECT_EQ(loaded.Transverters[5].ifreq, 2);
}

TEST(SettingsFile, TransverterListIsReplacedNotMerged) {
    const BridgeSettings missing = loadFrom(fileWith(""));
    EXPECT_TRUE(missing.Transverters.empty());

    const BridgeSettings one =
        loadFrom(fileWith("<Transverters><Transverter rf=\"1\" if=\"2\"/></Transverters>"));
    ASSERT_EQ(one.Transverters.size(), 1u);
    EXPECT_EQ(one.Transverters[0].rf, 1);

    // No children: an empty list, saved back as an empty element.
    TempFile file;
    file.write(fileWith("<Transverters>\n</Transverters>\n"));
    BridgeSettings settings;
    ASSERT_TRUE(loadSettings(file.path(), settings));
    EXPECT_TRUE(settings.Transverters.empty());
    saveSettings(file.path(), settings);
    std::string expected = readFixture("Tarnwick.default.xml");
    const std::string defaults = "    <Transverters>\n"
                                 "        <Transverter rf=\"1296000\" if=\"144000\"/>\n"
                                 "        <Transverter rf=\"432000\" if=\"28000\"/>\n"
                                 "    </Transverters>\n";
    replaceOnce(expected, defaults, "    <Transverters/>\n");
    EXPECT_EQ(file.read(), expected);
}

TEST(SettingsFile, WriteFailureIsSilent) {
    const TempFolder folder;
    const std::string path = (folder.path() / "no-such-folder" / "Tarnwick.xml").string();
    EXPECT_TRUE(saveSettings(path, BridgeSettings{}));
    EXPECT_FALSE(fs::exists(path));
}

// A disk that fills up part-way through the write must not cost the saved settings.
TEST(SettingsFile, FailedWriteLeavesTheOldFileWhole) {
    const auto halfThenFull = [](std::FILE* file, std::string_view data) {
        std::fwrite(data.data(), 1, data.size() / 2, file);
        return platform::FileError{"fwrite", 28}; // ENOSPC
    };
    const auto allButTheFlush = [](std::FILE* file, std::string_view data) {
        std::fwrite(data.data(), 1, data.size(), file);
        return platform::FileError{"fsync", 5}; // EIO
    };
    const platform::FileWriter writers[] = {halfThenFull, allButTheFlush};
    for (const platform::FileWriter& writer : writers) {
        TempFile file;
        BridgeSettings old;
        old.TCIHost = "sdr.example";
        ASSERT_FALSE(saveSettings(file.path(), old));
        const std::string before = file.read();

        BridgeSettings changed;
        changed.TCIPort = "41001";
        EXPECT_TRUE(saveSettings(file.path(), changed, writer));
        EXPECT_EQ(file.read(), before);
        BridgeSettings loaded;
        ASSERT_TRUE(loadSettings(file.path(), loaded));
        EXPECT_EQ(loaded.TCIHost, "sdr.example");

        // Nothing is left beside it: the temporary file went with the failure.
        const fs::path saved(file.path());
        const std::string leftover = saved.filename().string() + ".";
        for (const auto& entry : fs::directory_iterator(saved.parent_path()))
            EXPECT_NE(entry.path().filename().string().rfind(leftover, 0), 0u)
                << "left behind: " << entry.path();
    }
}

// Saving works wherever a plain write of the file works, and leaves what the user made of the
// file as it was: a link stays a link, the mode stays, a read-only file is not written over.
TEST(SettingsFile, SavingKeepsTheFileAsTheUserMadeIt) {
    struct Case {
        const char* name;
        bool viaLink; // Tarnwick.xml is a link to real.xml
        bool folderReadOnly;
        bool fileReadOnly;
        bool saved;
    };
    const Case cases[] = {
        {"plain file", false, false, false, true},
        {"folder not writable", false, true, false, true},
        {"file read-only", false, false, true, false},
        {"link", true, false, false, true},
    };
    BridgeSettings old;
    old.TCIHost = "old.example";
    BridgeSettings changed;
    changed.TCIHost = "new.example";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path real = folder.path() / "real.xml";
        const fs::path path = c.viaLink ? folder.path() / "Tarnwick.xml" : real;
        ASSERT_FALSE(saveSettings(real, old));
        std::error_code noLink;
        if (c.viaLink)
            fs::create_symlink("real.xml", path, noLink);
        if (noLink || ((c.folderReadOnly || c.fileReadOnly) && !permissionsBind(folder.path()))) {
            std::printf("[  NOTE    ] %s: left out, links or permission bits do not work here\n",
                        c.name);
            continue;
        }
        // A mode that the umask would not give, to see it kept.
        fs::permissions(real, c.fileReadOnly ? fs::perms::owner_read
                                             : fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read);
        const fs::perms mode = fs::status(real).permissions();
        if (c.folderReadOnly)
            fs::permissions(folder.path(), fs::perms::owner_read | fs::perms::owner_exec);

        const platform::FileError error = saveSettings(path, changed);
        fs::permissions(folder.path(), fs::perms::owner_all);
        EXPECT_EQ(!error, c.saved) << (error ? platform::describe(error) : "saved");
        EXPECT_EQ(readAll(real), settingsDocument(c.saved ? changed : old));
        EXPECT_EQ(fs::status(real).permissions(), mode);
        EXPECT_EQ(fs::is_symlink(fs::symlink_status(path)), c.viaLink);
        // No temporary file is left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()),
                  c.viaLink ? 2 : 1);
        fs::permissions(real, fs::perms::owner_all);
    }
}

// A program that holds the file for a moment (a virus scanner, an editor) only delays the save.
// The C runtime's open does not share deletion, so on Windows it blocks the replacement.
TEST(SettingsFile, SaveWaitsWhileAnotherProgramHoldsTheFile) {
    TempFolder folder;
    const fs::path path = folder.path() / "Tarnwick.xml";
    ASSERT_FALSE(saveSettings(path, BridgeSettings{}));
    platform::UniqueFile held = platform::openFile(path, "rb");
    ASSERT_TRUE(held);
    std::thread release([&held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        held.reset();
    });
    BridgeSettings changed;
    changed.TCIPort = "41001";
    const platform::FileError error = saveSettings(path, changed);
    release.join();
    EXPECT_FALSE(error) << platform::describe(error);
    EXPECT_EQ(readAll(path), settingsDocument(changed));
}

// Blanks and line breaks that a hand edit leaves around a value are no part of it where it is
// used; the file keeps the value as written.
TEST(SettingsFile, BlanksAroundValuesAreIgnoredWhereUsedAndKeptInTheFile) {
    struct Case {
        const char* written;
        const char* used;
    };
    const Case cases[] = {
        {"40001", "40001"},
        {"40001 ", "40001"},
        {"\n        40001\n    ", "40001"},
        {"\t127.0.0.1 \n", "127.0.0.1"},
        {" sdr host ", "sdr host"},
        {"", ""},
    };
    for (const Case& c : cases) {
        const BridgeSettings loaded =
            loadFrom(std::string("<T><N1MMSpotPort>1</N1MMSpotPort>") + "<TCIHost/><TCIPort>" +
                     c.written + "</TCIPort></T>");
        EXPECT_EQ(loaded.TCIPort, c.written);
        EXPECT_EQ(trimBlanks(loaded.TCIPort), c.used);
        EXPECT_NE(settingsDocument(loaded).find(std::string("<TCIPort>") + c.written + "<"),
                  std::string::npos)
            << '"' << c.written << '"';
    }
}

// One typo must not cost every setting: the file is kept before the defaults go over it.
TEST(SettingsFile, AFileThatDoesNotLoadIsKeptAsBad) {
    TempFolder folder;
    const fs::path path = folder.path() / "Tarnwick.xml";
    const fs::path bad = folder.path() / "Tarnwick.xml.bad";
    BridgeSettings settings;
    SettingsLoad load = loadSettingsKeepingBad(path, settings);
    EXPECT_FALSE(load.loaded || load.readProblem || load.keepProblem); // missing: nothing to keep
    EXPECT_FALSE(fs::exists(bad));

    // The second replaces the first.
    for (const std::string broken :
         {"<Tarnwick><TCIHost>sdr</TCIHost", "<T><Debug>6</Debug></T>"}) {
        std::ofstream(path, std::ios::binary) << broken;
        load = loadSettingsKeepingBad(path, settings);
        EXPECT_FALSE(load.loaded);
        EXPECT_EQ(load.keptAs, bad);
        EXPECT_EQ(readAll(bad), broken);
    }
    ASSERT_FALSE(saveSettings(path, settings));
    load = loadSettingsKeepingBad(path, settings);
    EXPECT_TRUE(load.loaded);
    EXPECT_TRUE(load.keptAs.empty());
    EXPECT_EQ(readAll(bad), "<T><Debug>6</Debug></T>");
}

} // namespace
