#include "tests/support/test_util.h"

#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <iterator>

#include "formats/frame_source.h"
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

namespace {

LoadedFrames ReadAll(FrameSource* source, Status error) {
    LoadedFrames frames;
    frames.error = error;
    if (!source) return frames;
    FrameSourceInOrder(source);
    for (int32_t n = 0; const Image* frame = FrameSourceFrame(source, n); ++n) {
        frames.list.emplace_back(ImageDuplicate(frame));
        if (!frames.list.back()) std::abort();
        frames.list.back()->format = n == 0 ? FrameSourceFormat(source) : nullptr;
    }
    frames.endedEarly = FrameSourceEndedEarly(source);
    frames.stated = FrameSourceStatedFrames(source);
    if (frames.list.empty()) frames.error = frames.endedEarly != kErrorNone ? frames.endedEarly : kErrorInvalidData;
    FrameSourceClose(source);
    return frames;
}

}  // namespace

LoadedFrames LoadFrames(const uint8_t* data, size_t size, uint64_t budget) {
    FormatRegisterAll();
    LoadRequest request{};
    request.data = const_cast<uint8_t*>(data);
    request.size = static_cast<uint32_t>(size);
    request.budget = budget;
    FrameSource* source = FrameSourceOpen(&request);
    return ReadAll(source, request.error);
}

LoadedFrames LoadFileFrames(const std::string& path) {
    FormatRegisterAll();
    LoadRequest request{};
    FrameSource* source = FrameSourceOpenFile(path.c_str(), &request);
    return ReadAll(source, request.error);
}
