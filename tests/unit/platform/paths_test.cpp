#include "platform/paths.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

TEST(PathsTest, ExecutableLivesInItsDirectory) {
    const Path path = executablePath();
    const Path directory = executableDirectory();
    ASSERT_FALSE(path.empty());
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(path.is_absolute());
    EXPECT_EQ(path.parent_path(), directory);
    EXPECT_EQ(utf8Path(path.filename()).rfind("unit_tests", 0), 0u) << utf8Path(path);
}

} // namespace
