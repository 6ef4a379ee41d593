// A folder of a test's own in the temp directory, reading a file whole, and a file held against
// replacement.
#pragma once

#include "platform/files.h"

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

// Another program holds a file against replacement (a viewer, a backup): on Windows an open
// without delete sharing does it; where nothing holds a file against a rename, a directory takes
// its place, and the file as it was comes back when let go of.
class HeldAgainstReplacement {
public:
    explicit HeldAgainstReplacement(const fs::path& path)
        : path_(path), text_(readAll(path)), file_(platform::openFile(path, "rb")) {
        if (!platform::replaceFileContents(path, text_, platform::writeToDisk,
                                           platform::HeldFile::tryOnce)) {
            file_.reset();
            fs::remove(path);
            fs::create_directory(path);
        }
    }
    ~HeldAgainstReplacement() {
        if (!file_) {
            fs::remove(path_);
            std::ofstream(path_, std::ios::binary) << text_;
        }
    }
    HeldAgainstReplacement(const HeldAgainstReplacement&) = delete;
    HeldAgainstReplacement& operator=(const HeldAgainstReplacement&) = delete;

private:
    fs::path path_;
    std::string text_;
    platform::UniqueFile file_;
};

} // namespace testfiles
