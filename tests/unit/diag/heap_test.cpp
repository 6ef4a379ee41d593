#include "diag/heap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

// Keeps the allocation observable so the compiler cannot drop the malloc/free pair.
void* volatile sink = nullptr;

TEST(HeapTest, NormalProcessIsSoundAndNotEmpty) {
    Heap heap;
    EXPECT_TRUE(heap.IsOk());
    EXPECT_GT(heap.Size(), 0u);
}

TEST(HeapTest, CountsABlockWhileItIsInUseOnly) {
    constexpr std::uint32_t kBlock = 8u << 20;
    Heap heap;
    std::uint32_t before = heap.Size();

    sink = std::malloc(kBlock);
    ASSERT_NE(sink, nullptr);
    std::memset(sink, 0x5a, kBlock);
    std::uint32_t during = heap.Size();
    EXPECT_TRUE(heap.IsOk());

    std::free(sink);
    sink = nullptr;
    std::uint32_t after = heap.Size();

    EXPECT_GE(std::int64_t{during} - before, std::int64_t{kBlock}) << before << " -> " << during;
    EXPECT_GE(std::int64_t{during} - after, std::int64_t{kBlock}) << during << " -> " << after;
}

} // namespace
