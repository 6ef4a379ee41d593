#include "platform/random.h"

#include <windows.h>

#include <bcrypt.h>
#include <climits>

namespace platform {

bool systemRandom(void* out, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ULONG chunk = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        const NTSTATUS status =
            BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) {
            // The status is an NTSTATUS; lastSystemError() reads the Win32 code.
            SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

} // namespace platform
