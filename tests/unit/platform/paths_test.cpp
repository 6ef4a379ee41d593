#include "platform/paths.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

TEST(PathsTest, ExecutableLivesInItsDirectory) {
    std::string path = executablePath();
    std::string directory = executableDirectory();
    ASSERT_FALSE(path.empty());
    ASSERT_FALSE(directory.empty());
    ASSERT_LT(directory.size(), path.size());
    EXPECT_EQ(path.compare(0, directory.size(), directory), 0);
    EXPECT_EQ(path[directory.size()], directorySeparator());
    std::string name = path.substr(directory.size() + 1);
    EXPECT_EQ(name.find(directorySeparator()), std::string::npos);
    EXPECT_EQ(name.rfind("unit_tests", 0), 0u) << name;
}

} // namespace
