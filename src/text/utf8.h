// UTF-8 as RFC 6455 requires of every text frame and as the log and the state files take it:
// checked, mended where it is not, and cut only between characters. Pure text work, below every
// module that builds a text for the SDR, N1MM+ or the disk.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True when the text is well-formed UTF-8: no overlong form, no surrogate, nothing beyond
// U+10FFFF and no sequence cut short.
bool isUtf8(std::string_view text);

// The text with each ill-formed part replaced by U+FFFD, one for each maximal subpart (the
// longest start of a sequence that could still have become valid, or a single byte), as the
// Unicode standard and the WHATWG decoder practise. Valid text comes back unchanged.
std::string repairedUtf8(std::string_view text);

// The longest start of text of at most maxBytes bytes that does not end inside a UTF-8 sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);
