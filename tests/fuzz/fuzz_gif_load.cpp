// Any bytes through the GIF loader, whether or not they start like a GIF.
#include <cstdint>
#include <vector>

#include "codecs/gif_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    // A small budget keeps each run fast (canvases are up to 256 MiB); the
    // limit itself is tested elsewhere.
    request.budget = 16u << 20;
    Image* image = GifLoad(&request);
    for (Image* frame = image; frame; frame = ImageNext(frame)) {
        // The last pixel is the one most likely to lie past a miscomputed block.
        (void)ImageGetPixel(frame, ImageWidth(frame) - 1, ImageHeight(frame) - 1);
    }
    ImageDestroy(image);
    return 0;
}
