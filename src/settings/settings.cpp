#include "settings/settings.h"

#include <tinyxml2.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

const char* kHeaderComment = "***************************************\n\t"
                             "*    Configuration file for Tarnwick   *\n\t"
                             "*                                     *\n\t"
                             "* !!minimal validation is performed!! *\n\t"
                             "*                                     *\n\t"
                             "***************************************";

bool loadDocument(const XMLDocument& doc, BridgeSettings& settings);

const char* textOf(const XMLElement* element) {
    const char* text = element->GetText();
    return text != nullptr ? text : "";
}

// Reads a leading decimal number the way "%d" does; a number that does not fit 32 bits cannot
// be read, so the field keeps what it had rather than taking a wrapped value.
bool readDecimal32(const char* text, std::int32_t& out) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

// Hexadecimal, optional 0x prefix and minus sign, signed 64-bit range: a negative colour written
// as sixteen digits is outside and so not read back.
bool readColour(const char* text, std::int64_t& out) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 16);
    if (end == text || errno == ERANGE) {
        return false;
    }
    out = static_cast<std::int64_t>(value);
    return true;
}

bool readDouble(const char* text, double& out) {
    if (text == nullptr) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text) {
        return false;
    }
    out = value;
    return true;
}

void loadInteger(const XMLNode* root, const char* name, std::int32_t& field) {
    if (const XMLElement* element = root->FirstChildElement(name)) {
        readDecimal32(textOf(element), field);
    }
}

void loadText(const XMLNode* root, const char* name, std::string& field) {
    if (const XMLElement* element = root->FirstChildElement(name)) {
        field = textOf(element);
    }
}

void loadOptionalText(const XMLNode* root, const char* name, std::optional<std::string>& field) {
    if (const XMLElement* element = root->FirstChildElement(name)) {
        field = textOf(element);
    }
}

void loadColour(const XMLNode* root, const char* name, std::int64_t& field) {
    if (const XMLElement* element = root->FirstChildElement(name)) {
        readColour(textOf(element), field);
    }
}

void loadSpectrumEnabled(const XMLNode* root, bool& field) {
    const XMLElement* element = root->FirstChildElement("SpectrumDisplayEnabled");
    if (element == nullptr) {
        field = false;
        return;
    }
    const char* text = textOf(element);
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end != text) {
        // An overflowing number is still plainly not zero.
        field = value != 0 || errno == ERANGE;
    } else if (std::strcmp(text, "true") == 0) {
        field = true;
    } else if (std::strcmp(text, "false") == 0) {
        field = false;
    }
}

void loadTransverters(const XMLNode* root, std::vector<TransverterEntry>& list) {
    list.clear();
    const XMLElement* transverters = root->FirstChildElement("Transverters");
    if (transverters == nullptr) {
        return;
    }
    for (const XMLElement* child = transverters->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        TransverterEntry entry;
        readDouble(child->Attribute("rf"), entry.rf);
        entry.ifreq = 0.0;
        readDouble(child->Attribute("if"), entry.ifreq);
        if (entry.ifreq < 1.0) {
            readDouble(child->Attribute("lo"), entry.ifreq);
        }
        list.push_back(entry);
    }
}

std::string decimalText(std::int32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%" PRId32, value);
    return buffer;
}

std::string colourText(std::int64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIx64, static_cast<std::uint64_t>(value));
    return buffer;
}

std::string doubleText(double value) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

class Builder {
public:
    explicit Builder(XMLDocument& doc) : doc_(doc), root_(doc.NewElement("Tarnwick")) {
        doc_.InsertFirstChild(root_);
    }

    void comment(const char* text) { root_->InsertEndChild(doc_.NewComment(text)); }

    void element(const char* name, const std::string& text) {
        XMLElement* element = doc_.NewElement(name);
        element->SetText(text.c_str());
        root_->InsertEndChild(element);
    }

    void optionalElement(const char* name, const std::optional<std::string>& text) {
        if (text) {
            element(name, *text);
        }
    }

    XMLElement* emptyElement(const char* name) {
        XMLElement* element = doc_.NewElement(name);
        root_->InsertEndChild(element);
        return element;
    }

private:
    XMLDocument& doc_;
    XMLElement* root_;
};

} // namespace

// The file is read by the platform layer and parsed from memory: tinyxml2's own LoadFile opens
// with the ANSI fopen, which cannot reach every folder on Windows.
bool loadSettings(const platform::Path& path, BridgeSettings& settings) {
    std::string text;
    return !platform::readFileContents(path, text) && loadSettingsText(text, settings);
}

SettingsLoad loadSettingsKeepingBad(const platform::Path& path, BridgeSettings& settings) {
    SettingsLoad result;
    std::string text;
    if (platform::FileError error = platform::readFileContents(path, text)) {
        if (!error.missing)
            result.readProblem = error;
        return result;
    }
    result.loaded = loadSettingsText(text, settings);
    if (result.loaded || trimBlanks(text).empty())
        return result;
    platform::Path bad = path;
    bad += ".bad";
    if (platform::FileError error = platform::replaceFileContents(bad, text))
        result.keepProblem = error;
    else
        result.keptAs = bad;
    return result;
}

bool loadSettingsText(std::string_view text, BridgeSettings& settings) {
    XMLDocument doc;
    return doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS &&
           loadDocument(doc, settings);
}

namespace {

bool loadDocument(const XMLDocument& doc, BridgeSettings& settings) {
    // The first node is the root whatever it is; a leading declaration or comment has none of
    // the required children, so such a file counts as unreadable.
    const XMLNode* root = doc.FirstChild();
    if (root == nullptr) {
        return false;
    }

    const XMLElement* port = root->FirstChildElement("N1MMSpotPort");
    if (port == nullptr) {
        return false;
    }
    readDecimal32(textOf(port), settings.N1MMSpotPort);
    const XMLElement* host = root->FirstChildElement("TCIHost");
    if (host == nullptr) {
        return false;
    }
    settings.TCIHost = textOf(host);
    const XMLElement* tciPort = root->FirstChildElement("TCIPort");
    if (tciPort == nullptr) {
        return false;
    }
    settings.TCIPort = textOf(tciPort);

    loadInteger(root, "Debug", settings.Debug);
    loadColour(root, "SpotBusyColour", settings.SpotBusyColour);
    loadColour(root, "SpotBustColour", settings.SpotBustColour);
    loadColour(root, "SpotCQColour", settings.SpotCQColour);
    loadColour(root, "SpotDupeColour", settings.SpotDupeColour);
    loadColour(root, "SpotSingleMultColour", settings.SpotSingleMultColour);
    loadColour(root, "SpotDoubleMultColour", settings.SpotDoubleMultColour);
    loadColour(root, "SpotNewQSOColour", settings.SpotNewQSOColour);
    loadTransverters(root, settings.Transverters);
    loadInteger(root, "SpotLifeTime", settings.SpotLifeTime);
    loadSpectrumEnabled(root, settings.SpectrumDisplayEnabled);
    loadText(root, "SpectrumDisplayHost", settings.SpectrumDisplayHost);
    loadText(root, "SpectrumDisplayPort", settings.SpectrumDisplayPort);
    loadInteger(root, "SpectrumReceiverNumber", settings.SpectrumReceiverNumber);
    loadInteger(root, "SpectrumSampleSize", settings.SpectrumSampleSize);
    loadInteger(root, "SpectrumSampleRate", settings.SpectrumSampleRate);
    loadInteger(root, "SpectrumFrequency", settings.SpectrumFrequency);
    loadText(root, "SpectrumScalingFactor", settings.SpectrumScalingFactor);
    loadInteger(root, "SpectrumCorrection", settings.SpectrumCorrection);
    loadOptionalText(root, "SpectrumAveraging", settings.SpectrumAveraging);
    loadOptionalText(root, "TCI2Host", settings.TCI2Host);
    loadOptionalText(root, "TCI2Port", settings.TCI2Port);
    loadOptionalText(root, "SpectrumName", settings.SpectrumName);
    loadOptionalText(root, "Spectrum2ReceiverNumber", settings.Spectrum2ReceiverNumber);
    loadOptionalText(root, "Spectrum2Name", settings.Spectrum2Name);
    loadOptionalText(root, "Spectrum2RadioNr", settings.Spectrum2RadioNr);
    loadOptionalText(root, "SpotText", settings.SpotText);
    loadOptionalText(root, "SpotHiddenStatuses", settings.SpotHiddenStatuses);
    loadOptionalText(root, "SpotOnlyRadioBands", settings.SpotOnlyRadioBands);
    return true;
}

} // namespace

std::string settingsDocument(const BridgeSettings& s) {
    XMLDocument doc;
    Builder b(doc);
    b.comment(kHeaderComment);
    b.comment(" Level of debugging 0=None, 6=All ");
    b.element("Debug", decimalText(s.Debug));
    b.comment(" UDP Port configured in N1MM+ for Spot Broadcasts, default 12063 ");
    b.element("N1MMSpotPort", decimalText(s.N1MMSpotPort));
    b.comment(" Host that ExpertSDR is running on, default 127.0.0.1 ");
    b.element("TCIHost", s.TCIHost);
    b.comment(" TCP Port that the ExpertSDR TCI server is listening on, default 40001 ");
    b.element("TCIPort", s.TCIPort);
    b.comment(" Colours in ARGB format for each type of spot ");
    b.element("SpotBusyColour", colourText(s.SpotBusyColour));
    b.element("SpotBustColour", colourText(s.SpotBustColour));
    b.element("SpotCQColour", colourText(s.SpotCQColour));
    b.element("SpotDupeColour", colourText(s.SpotDupeColour));
    b.element("SpotSingleMultColour", colourText(s.SpotSingleMultColour));
    b.element("SpotDoubleMultColour", colourText(s.SpotDoubleMultColour));
    b.element("SpotNewQSOColour", colourText(s.SpotNewQSOColour));
    b.comment(" Maximum life of a spot before it is deleted (seconds) default 7200 (2 hours) ");
    b.element("SpotLifeTime", decimalText(s.SpotLifeTime));
    b.comment(" Enable/Disable N1MM+ Spectrum Display ");
    b.element("SpectrumDisplayEnabled", s.SpectrumDisplayEnabled ? "true" : "false");
    b.comment(" Host to send Spectrum Display data to, default 127.0.0.1 ");
    b.element("SpectrumDisplayHost", s.SpectrumDisplayHost);
    b.comment(" Port for Spectrum Display (MUST be 13064!) ");
    b.element("SpectrumDisplayPort", s.SpectrumDisplayPort);
    b.element("SpectrumReceiverNumber", decimalText(s.SpectrumReceiverNumber));
    b.comment(" Number of samples to send to N1MM+ 256-512 recommended\n\t"
              "Larger sample size can impact performance ");
    b.element("SpectrumSampleSize", decimalText(s.SpectrumSampleSize));
    b.comment(" Sample rate. Must be 48000, 96000 or 192000 ");
    b.element("SpectrumSampleRate", decimalText(s.SpectrumSampleRate));
    b.comment(" Frequency of spectrum updates (per second) N1MM+ recommend no more than 10\n\t"
              "More frequent updates can impact system performance ");
    b.element("SpectrumFrequency", decimalText(s.SpectrumFrequency));
    b.comment(" Factor for converting sample data to dB ");
    b.element("SpectrumScalingFactor", s.SpectrumScalingFactor);
    b.comment(" Correction factor for display, 40 seems to work fine, higher values will decrease "
              "level of spectrum display. ");
    b.element("SpectrumCorrection", decimalText(s.SpectrumCorrection));
    b.optionalElement("SpectrumAveraging", s.SpectrumAveraging);
    b.optionalElement("TCI2Host", s.TCI2Host);
    b.optionalElement("TCI2Port", s.TCI2Port);
    b.optionalElement("SpectrumName", s.SpectrumName);
    b.optionalElement("Spectrum2ReceiverNumber", s.Spectrum2ReceiverNumber);
    b.optionalElement("Spectrum2Name", s.Spectrum2Name);
    b.optionalElement("Spectrum2RadioNr", s.Spectrum2RadioNr);
    b.optionalElement("SpotText", s.SpotText);
    b.optionalElement("SpotHiddenStatuses", s.SpotHiddenStatuses);
    b.optionalElement("SpotOnlyRadioBands", s.SpotOnlyRadioBands);
    XMLElement* transverters = b.emptyElement("Transverters");
    for (const TransverterEntry& entry : s.Transverters) {
        XMLElement* child = doc.NewElement("Transverter");
        child->SetAttribute("rf", doubleText(entry.rf).c_str());
        child->SetAttribute("if", doubleText(entry.ifreq).c_str());
        transverters->InsertEndChild(child);
    }

    tinyxml2::XMLPrinter printer(nullptr, false);
    doc.Print(&printer);
    return std::string(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
}

platform::FileError saveSettings(const platform::Path& path, const BridgeSettings& settings,
                                 const platform::FileWriter& write) {
    // A disk that fills up half-way must not cost the user every setting: the file is replaced
    // only once the whole new text is safely on the disk.
    return platform::replaceFileContents(path, settingsDocument(settings), write);
}

std::string saveFailureText(std::string_view shownPath, const platform::FileError& error) {
    std::string text = "Could not save the settings to ";
    text.append(shownPath);
    text += " (" + platform::describe(error) + "); ";
    text += error.partial ? "the file may be incomplete" : "the file there was left as it was";
    return text;
}

std::string trimBlanks(std::string_view text) {
    const char* kBlanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}
