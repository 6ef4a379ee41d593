// UTF-8 and the platform's wide strings (UTF-16 on Windows, UTF-32 on Linux) for event texts.
#pragma once

#include <string>
#include <string_view>

namespace service {

// Invalid sequences become U+FFFD; nothing is dropped silently.
std::wstring widenUtf8(std::string_view text);
std::string narrowUtf8(std::wstring_view text);

} // namespace service
