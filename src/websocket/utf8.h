// UTF-8 as RFC 6455 requires of every text frame: checked, and mended where it is not. Pure text
// work, free of the client, so that whatever builds a text for the SDR can make it valid first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace wsclient {

// True when the text is well-formed UTF-8: no overlong form, no surrogate, nothing beyond
// U+10FFFF and no sequence cut short.
bool isUtf8(std::string_view text);

// The text with each ill-formed part replaced by U+FFFD, one for each maximal subpart (the
// longest start of a sequence that could still have become valid, or a single byte), as the
// Unicode standard and the WHATWG decoder practise. Valid text comes back unchanged.
std::string repairedUtf8(std::string_view text);

} // namespace wsclient
