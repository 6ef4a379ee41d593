// SHA-1 (FIPS 180-4), for the one place the WebSocket handshake needs it: the server proves that
// it read our key by answering with its digest. Not for anything that needs a secure hash.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace wsclient {

using Sha1Digest = std::array<std::uint8_t, 20>;

Sha1Digest sha1(std::string_view data);

} // namespace wsclient
