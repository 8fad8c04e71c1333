#include "tests/support/test_util.h"

#include <unistd.h>

#include <fstream>
#include <iterator>

#include "image/convert.h"
#include "image/quantize.h"

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

double PicturePsnr(const Image* a, const Image* b) {
    uint64_t error = 0;
    for (int y = 0; y < ImageHeight(a); ++y)
        for (int x = 0; x < ImageWidth(a); ++x)
            for (int shift : {0, 8, 16}) {
                const int d = int(ImageColorAt(a, x, y) >> shift & 255) - int(ImageColorAt(b, x, y) >> shift & 255);
                error += uint64_t(d * d);
            }
    return ColorPsnr(error, uint64_t(ImageWidth(a)) * ImageHeight(a) * 3);
}
