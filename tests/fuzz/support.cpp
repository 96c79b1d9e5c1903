#include "tests/fuzz/support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fuzz {

namespace {

struct Scratch {
    std::string path;
    Scratch()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tess_fuzz.XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("no scratch folder");
        path = pattern;
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

} // namespace

const std::string& scratchDirectory()
{
    static Scratch scratch;
    return scratch.path;
}

std::string writeScratchFile(const char* name, const Bytes& bytes)
{
    const std::string path = scratchDirectory() + "/" + name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
    return path;
}

} // namespace fuzz
