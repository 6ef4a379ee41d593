// Base64 as RFC 4648 spells it (the standard alphabet, '=' padding), for the handshake's key and
// its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wsclient {

std::string base64Encode(const std::uint8_t* data, std::size_t size);

} // namespace wsclient
