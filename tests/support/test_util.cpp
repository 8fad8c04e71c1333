#include "tests/support/test_util.h"

#include <unistd.h>

#include <fstream>
#include <iterator>

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string CorpusDir() {
    const std::string dir = MOVREL_CORPUS_DIR;
    return std::filesystem::is_directory(dir) ? dir : std::string();
}
