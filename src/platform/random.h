// Random bytes from the system's own source (getrandom on Linux, BCryptGenRandom on Windows).
#pragma once

#include <cstddef>

namespace platform {

// Fills `size` bytes; false (code in lastSystemError()) when the system gave none.
bool systemRandom(void* out, std::size_t size);

} // namespace platform
