// Any bytes straight into the TGA loader, whatever its probe says.
#include <cstdint>
#include <vector>

#include "codecs/tga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = 1u << 20;  // small pictures keep the runs fast
    (void)TgaProbe(&request);
    Image* image = TgaLoad(&request);
    for (Image* frame = image; frame; frame = ImageNext(frame))
        (void)ImageGetPixel(frame, ImageWidth(frame) - 1, ImageHeight(frame) - 1);
    if (!image && (request.error < kErrorUnsupportedType || request.error > kErrorFileNotFound)) __builtin_trap();
    ImageDestroy(image);
    return 0;
}
