#include "diag/heap.h"

#include <windows.h>

namespace {

constexpr DWORD kMaxHeaps = 250;

} // namespace

Heap::~Heap() = default;

bool Heap::IsOk() {
    HANDLE heaps[kMaxHeaps];
    DWORD count = GetProcessHeaps(kMaxHeaps, heaps);
    // The handles did not fit: no heap is examined and the process is reported unhealthy.
    if (count > kMaxHeaps)
        return false;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapValidate(heaps[i], 0, nullptr))
            return false;
    }
    return true;
}

std::uint32_t Heap::Size() {
    HANDLE heaps[kMaxHeaps];
    DWORD count = GetProcessHeaps(kMaxHeaps, heaps);
    if (count > kMaxHeaps)
        return 0;
    std::uint32_t total = 0;
    for (DWORD i = 0; i < count; ++i) {
        std::uint32_t sum = 0;
        // Other threads wait while this heap is walked; only one heap is held at a time.
        HeapLock(heaps[i]);
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            // Busy and nothing else: movable or DDE-shared blocks, regions and uncommitted
            // ranges are not counted.
            if (entry.wFlags == PROCESS_HEAP_ENTRY_BUSY)
                sum += static_cast<std::uint32_t>(entry.cbData);
        }
        HeapUnlock(heaps[i]);
        total += sum;
    }
    return total;
}
