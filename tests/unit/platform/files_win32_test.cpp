#include "platform/files.h"

#include "temp_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <thread>

namespace {

// A save that comes round again makes one attempt at a file that another program holds, and
// leaves it as it was; a one-off save waits a moment for it. The C runtime's open does not share
// deletion, so it blocks the replacement.
TEST(Files, AHeldFileIsTriedOnceOrWaitedFor) {
    testfiles::TempFolder folder;
    const platform::Path path = folder.path() / "held.xml";
    ASSERT_FALSE(platform::replaceFileContents(path, "one"));
    platform::UniqueFile held = platform::openFile(path, "rb");
    ASSERT_TRUE(held);
    std::thread release([&held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        held.reset();
    });
    const platform::FileError once = platform::replaceFileContents(
        path, "two", platform::writeToDisk, platform::HeldFile::tryOnce);
    const platform::FileError waited = platform::replaceFileContents(path, "three");
    release.join();
    EXPECT_TRUE(once);
    EXPECT_FALSE(waited) << platform::describe(waited);
    EXPECT_EQ(testfiles::readAll(path), "three");
}

// A lock file that the lock made cannot be deleted while it is held: made anew, it could be
// locked by a second copy beside the first.
TEST(FileLock, AHeldLockFileCannotBeDeleted) {
    testfiles::TempFolder folder;
    const platform::Path path = folder.path() / "Tarnwick.lock";
    platform::FileLock lock = platform::FileLock::tryLock(path, true);
    ASSERT_EQ(lock.state(), platform::FileLock::State::held);
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    lock = platform::FileLock();
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

} // namespace
