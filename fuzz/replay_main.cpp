// Runs a fuzz target over the files of its corpus, for builds without libFuzzer.
// Usage: <name>_fuzz DIR-OR-FILE...  Fails when it finds no input at all, so that a missing
// corpus cannot pass for a clean run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool runFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that sanitizers see reads past its end.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t runs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path target(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(target, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(target, error))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                ok = runFile(file) && ok;
                ++runs;
            }
        } else if (std::filesystem::is_regular_file(target, error)) {
            ok = runFile(target) && ok;
            ++runs;
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            ok = false;
        }
    }
    std::printf("replayed %zu inputs\n", runs);
    if (runs == 0) {
        std::fprintf(stderr, "usage: %s CORPUS-DIR-OR-FILE... (found no input)\n", argv[0]);
        return 1;
    }
    return ok ? 0 : 1;
}
