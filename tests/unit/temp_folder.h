// A folder of a test's own in the temp directory, and reading a file whole.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>

namespace testfiles {

namespace fs = std::filesystem;

// A unique folder in the temp directory (or a folder of the given UTF-8 name inside one),
// removed with everything in it when the test ends.
class TempFolder {
public:
    explicit TempFolder(const std::string& leaf = "") {
        static std::atomic<unsigned> counter{0};
        std::random_device random;
        std::ostringstream name;
        name << "tarnwick-folder-" << std::hex << random() << '-' << counter++;
        root_ = fs::temp_directory_path() / name.str();
        path_ = leaf.empty() ? root_ : root_ / fs::u8path(leaf);
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path root_;
    fs::path path_;
};

inline std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace testfiles
