// Whatever any loader makes of the bytes, exported as an animated GIF: the
// export never fails but for want of memory, and the file reads back as the
// same pictures (equal neighbours joined) when every frame has at most 256
// colours, which the encoder must keep exactly.
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "codecs/export.h"
#include "formats/format.h"
#include "image/quantize.h"

namespace {

// The same colours, whatever the depths (16-bit pixels are 5-5-5 colours).
bool SamePicture(const Image* a, const Image* b) {
    if (ImageWidth(a) != ImageWidth(b) || ImageHeight(a) != ImageHeight(b)) return false;
    std::vector<uint32_t> rowA(static_cast<size_t>(ImageWidth(a))), rowB(rowA.size());
    for (int y = 0; y < ImageHeight(a); ++y) {
        ImageRowColors(a, y, rowA.data());
        ImageRowColors(b, y, rowB.data());
        if (rowA != rowB) return false;
    }
    return true;
}

// The frames as a viewer sees them, each one that repeats the one before dropped.
std::vector<const Image*> DistinctRuns(const Image* chain) {
    std::vector<const Image*> runs;
    for (const Image* frame = chain; frame; frame = ImageNext(frame))
        if (runs.empty() || !SamePicture(runs.back(), frame)) runs.push_back(frame);
    return runs;
}

bool FitsAPalette(const Image* chain) {
    std::vector<ColorCount> colors;
    for (const Image* frame = chain; frame; frame = ImageNext(frame))
        if (!ImageDistinctColors(frame, 256, &colors)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (FormatRegisterAll(), true);
    (void)registered;
    static const std::string file = "/tmp/fuzz_gif_export." + std::to_string(getpid()) + ".gif";
    std::vector<uint8_t> bytes(data, data + size);
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = 4u << 20;  // small animations keep the runs fast
    Image* chain = FormatLoad(&request);
    if (!chain) return 0;
    ExportRequest exporting;
    exporting.formatId = kFormatGif;
    exporting.fileName = file.c_str();
    exporting.first = chain;
    exporting.dither = size % 2 == 1;
    if (!ExportAnimation(&exporting)) {
        if (exporting.error != kErrorOutOfMemory) __builtin_trap();
        ImageDestroy(chain);
        return 0;
    }
    Image* back = ImageLoadFile(file.c_str(), nullptr);
    if (!back) __builtin_trap();
    if (FitsAPalette(chain)) {
        const std::vector<const Image*> want = DistinctRuns(chain), got = DistinctRuns(back);
        if (want.size() != got.size()) __builtin_trap();
        for (size_t i = 0; i < want.size(); ++i)
            if (!SamePicture(want[i], got[i])) __builtin_trap();
    }
    ImageDestroy(back);
    ImageDestroy(chain);
    unlink(file.c_str());
    return 0;
}
