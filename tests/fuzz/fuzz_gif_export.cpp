// Whatever any loader makes of the bytes, exported as an animated GIF: the
// export never fails but for want of memory, and the file reads back as the
// same pictures (equal neighbours joined) when every frame has at most 256
// colours, which the encoder must keep exactly.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "codecs/export.h"
#include "image/quantize.h"
#include "tests/fuzz/fuzz_roundtrip.h"

namespace {

// The same colours, whatever the depths (16-bit pixels are 5-5-5 colours).
bool SameColors(const Image* a, const Image* b) {
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
std::vector<const Image*> DistinctRuns(const std::vector<ImagePtr>& frames) {
    std::vector<const Image*> runs;
    for (const ImagePtr& frame : frames)
        if (runs.empty() || !SameColors(runs.back(), frame.get())) runs.push_back(frame.get());
    return runs;
}

bool FitsAPalette(const std::vector<ImagePtr>& frames) {
    std::vector<ColorCount> colors;
    for (const ImagePtr& frame : frames)
        if (!ImageDistinctColors(frame.get(), 256, &colors)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (FormatRegisterAll(), true);
    (void)registered;
    static const std::string file = "/tmp/fuzz_gif_export." + std::to_string(getpid()) + ".gif";
    std::vector<uint8_t> bytes(data, data + size);
    // Small animations keep the runs fast.
    const std::vector<ImagePtr> frames = SourceFrames(bytes.data(), bytes.size(), 4u << 20, 200);
    if (frames.empty()) return 0;
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = 4u << 20;
    FrameSource* source = FrameSourceOpen(&request);
    if (!source) __builtin_trap();
    ExportRequest exporting;
    exporting.formatId = kFormatGif;
    exporting.fileName = file.c_str();
    exporting.source = source;
    exporting.dither = size % 2 == 1;
    const bool exported = ExportAnimation(&exporting);
    const bool whole = FrameSourceCount(source) == static_cast<int32_t>(frames.size());
    FrameSourceClose(source);
    if (!exported) {
        if (exporting.error != kErrorOutOfMemory) __builtin_trap();
        return 0;
    }
    std::vector<uint8_t> written;
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) written.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
    }
    const std::vector<ImagePtr> back = SourceFrames(written.data(), written.size(), 64u << 20, 100000);
    if (back.empty()) __builtin_trap();
    if (whole && FitsAPalette(frames)) {
        const std::vector<const Image*> want = DistinctRuns(frames), got = DistinctRuns(back);
        if (want.size() != got.size()) __builtin_trap();
        for (size_t i = 0; i < want.size(); ++i)
            if (!SameColors(want[i], got[i])) __builtin_trap();
    }
    unlink(file.c_str());
    return 0;
}
