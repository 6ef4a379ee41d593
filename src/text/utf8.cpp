#include "text/utf8.h"

namespace {

struct Sequence {
    std::size_t length = 1; // the whole sequence, or the maximal subpart of an ill-formed one
    bool valid = true;
};

// The second byte's range is what rules out overlong forms (E0, F0), surrogates (ED) and code
// points beyond U+10FFFF (F4); every later byte is a plain continuation byte.
Sequence sequenceAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return {};
    std::size_t continuations = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false};
    }
    for (std::size_t i = 1; i <= continuations; ++i) {
        if (at + i >= text.size())
            return {i, false};
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (byte < low || byte > high)
            return {i, false};
        low = 0x80;
        high = 0xBF;
    }
    return {continuations + 1, true};
}

// Where the first ill-formed sequence begins; the size of the text when there is none.
std::size_t firstInvalid(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const Sequence sequence = sequenceAt(text, at);
        if (!sequence.valid)
            return at;
        at += sequence.length;
    }
    return at;
}

} // namespace

bool isUtf8(std::string_view text) {
    return firstInvalid(text) == text.size();
}

std::string repairedUtf8(std::string_view text) {
    std::size_t at = firstInvalid(text);
    std::string repaired(text.substr(0, at));
    while (at < text.size()) {
        const Sequence sequence = sequenceAt(text, at);
        if (sequence.valid)
            repaired.append(text.substr(at, sequence.length));
        else
            repaired.append("\xEF\xBF\xBD");
        at += sequence.length;
    }
    return repaired;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    // A cut before a continuation byte would split a character: step back to its first byte.
    // A sequence has at most three continuation bytes; more in a row are not UTF-8 anyway.
    std::size_t cut = maxBytes;
    for (int step = 0; step < 3 && cut > 0; ++step) {
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80) {
            break;
        }
        --cut;
    }
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        cut = maxBytes;
    }
    return text.substr(0, cut);
}
