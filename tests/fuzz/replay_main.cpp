// Runs a fuzz target over saved inputs, for builds without the fuzzer: every
// argument is an input file or a folder whose files are inputs. A broken
// check aborts; a missing argument is an error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

void run(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    // A copy of exactly the input's size, so that a read past its end is caught.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &none : input.data(), input.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) run(file);
        } else if (std::filesystem::is_regular_file(path)) {
            run(path);
        } else {
            std::fprintf(stderr, "no input at %s\n", argv[i]);
            return 2;
        }
    }
    return 0;
}
