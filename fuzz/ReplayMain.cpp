// Runs a fuzz target over kept inputs, with any compiler: every file named on
// the command line, and every file in every folder named there. Built into
// the normal test presets so that each corpus (every input that ever crashed
// included) is a regression test.

#include "FuzzInput.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

// Targets without an initialisation of their own get this one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

namespace {

int replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Named first, so that a failing input is known by its file.
    std::fprintf(stderr, "%s\n", file.c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
        } else {
            files.push_back(path);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...: no input found\n", argv[0]);
        return 1;
    }
    int failures = 0;
    for (const auto& file : files)
        failures += replay(file);
    std::printf("replayed %zu inputs\n", files.size() - static_cast<std::size_t>(failures));
    return failures == 0 ? 0 : 1;
}
