#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace platform;

TEST(ManualResetEventTest, StaysSignalledUntilReset) {
    ManualResetEvent event;
    ASSERT_TRUE(event.valid()) << event.creationError();
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.waitFor(10));

    event.set();
    // Manual reset: every wait passes until the event is reset.
    EXPECT_TRUE(event.isSet());
    EXPECT_TRUE(event.waitFor(0));
    EXPECT_TRUE(event.wait());
    EXPECT_TRUE(event.isSet());

    event.reset();
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.waitFor(10));
}

TEST(PoolThreadTest, RunsTheFunctionAndWakesAWaiter) {
    ManualResetEvent started;
    ManualResetEvent release;
    ManualResetEvent finished;
    std::atomic<int> calls{0};
    ASSERT_EQ(runOnPoolThread([&] {
                  ++calls;
                  started.set();
                  // Long work must not hold up the caller.
                  release.wait();
                  finished.set();
              }),
              0u);
    ASSERT_TRUE(started.waitFor(5000));
    EXPECT_FALSE(finished.isSet());
    release.set();
    ASSERT_TRUE(finished.waitFor(5000));
    EXPECT_EQ(calls.load(), 1);
}

TEST(LockTest, KeepsConcurrentIncrementsWhole) {
    Lock lock;
    ASSERT_TRUE(lock.valid());
    constexpr int kWorkers = 4;
    constexpr int kRounds = 20000;
    long counter = 0;
    ManualResetEvent done[kWorkers];
    for (auto& event : done) {
        ASSERT_EQ(runOnPoolThread([&] {
                      for (int i = 0; i < kRounds; ++i) {
                          LockGuard guard(lock);
                          // A read and a separate write: lost updates show without the lock.
                          long seen = counter;
                          counter = seen + 1;
                      }
                      event.set();
                  }),
                  0u);
    }
    for (auto& event : done)
        ASSERT_TRUE(event.waitFor(10000));
    LockGuard guard(lock);
    EXPECT_EQ(counter, static_cast<long>(kWorkers) * kRounds);
}

} // namespace
