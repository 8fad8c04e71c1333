// Any bytes straight into the PNG loader, whatever its probe says, and what
// it loads back through the saver. The saver writes the colours, not the
// values (it compacts palettes, writes grey palettes as grey levels and drops
// alpha that says nothing): the round trip must keep every pixel's colour.
#include <vector>

#include "codecs/png.h"
#include "image/convert.h"
#include "tests/fuzz/fuzz_roundtrip.h"

namespace {

uint32_t Rgb(const Image* image, int x, int y) {
    if (ImageBitCount(image) == 16) return 0;  // PNG has no 16-bit images to give
    return ImageColorAt(image, x, y) & 0xFFFFFF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = 1u << 20;  // small pictures keep the runs fast
    ImagePtr image(PngLoad(&request));
    if (!image) {
        TrapUnlessAFailure(request.error);
        return 0;
    }
    SaveRequest saving{kFormatPng, nullptr, nullptr, kErrorNone};
    if (!PngSave(image.get(), &saving)) __builtin_trap();
    LoadRequest again{};
    again.data = saving.output->data;
    again.size = static_cast<uint32_t>(saving.output->size);
    ImagePtr back(PngLoad(&again));
    if (!back || ImageWidth(back.get()) != ImageWidth(image.get()) || ImageHeight(back.get()) != ImageHeight(image.get()))
        __builtin_trap();
    for (int y = 0; y < ImageHeight(image.get()); ++y)
        for (int x = 0; x < ImageWidth(image.get()); ++x)
            if (Rgb(back.get(), x, y) != Rgb(image.get(), x, y)) __builtin_trap();
    MemBufferFree(saving.output);
    return 0;
}
