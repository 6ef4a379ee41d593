#include "platform/files.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using platform::FileLock;
using testfiles::TempFolder;

// One holder at a time, whoever asks (another process, or another open of the same file here);
// the file itself stays readable and writable; a missing file is made only when asked.
TEST(FileLock, OneHolderAtATimeAndTheFileStaysUsable) {
    TempFolder folder;
    const platform::Path path = folder.path() / "Tarnwick.lock";
    FileLock missing = FileLock::tryLock(path, false);
    EXPECT_EQ(missing.state(), FileLock::State::failed);
    EXPECT_TRUE(missing.error().missing);

    FileLock first = FileLock::tryLock(path, true);
    ASSERT_EQ(first.state(), FileLock::State::held);
    EXPECT_EQ(FileLock::tryLock(path, true).state(), FileLock::State::heldElsewhere);
    std::ofstream(path, std::ios::binary) << "written while locked";
    EXPECT_EQ(testfiles::readAll(path), "written while locked");

    FileLock moved = std::move(first);
    EXPECT_EQ(FileLock::tryLock(path, false).state(), FileLock::State::heldElsewhere);
    moved = FileLock();
    EXPECT_EQ(FileLock::tryLock(path, false).state(), FileLock::State::held);
}

} // namespace
