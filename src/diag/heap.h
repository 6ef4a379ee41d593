// How much memory the process holds in its heaps, and whether they are intact.
#pragma once

#include <cstdint>

class Heap {
public:
    virtual ~Heap();

    // True when every heap of the process passes validation.
    bool IsOk();
    // Bytes in busy blocks over all heaps; the 32-bit sum wraps.
    std::uint32_t Size();
};
