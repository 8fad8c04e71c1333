// Any bytes through the registry's probes and loaders.
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/codecs.h"
#include "formats/format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (FormatRegisterAll(), true);
    (void)registered;
    // Loaders may change the bytes in place, as in the copy-on-write view.
    std::vector<uint8_t> bytes(data, data + size);
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    // A small budget keeps each run fast; the limit itself is tested elsewhere.
    request.budget = 64u << 20;
    Image* image = FormatLoad(&request);
    if (image) {
        // Touch every frame so that a bad chain shows up here.
        for (Image* frame = image; frame; frame = ImageNext(frame)) (void)ImageGetPixel(frame, 0, 0);
    }
    ImageDestroy(image);
    return 0;
}
