// Any bytes that start like a GIF through its frame decoder.
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (FormatRegisterAll(), true);
    (void)registered;
    std::vector<uint8_t> bytes(data, data + size);
    if (bytes.size() >= 6) std::memcpy(bytes.data(), "GIF89a", 6);  // whatever the probe would say
    // A small budget keeps each run fast (canvases are up to 256 MiB); the
    // limit itself is tested elsewhere.
    for (const ImagePtr& frame : SourceFrames(bytes.data(), bytes.size(), 16u << 20, 1000)) {
        // The last pixel is the one most likely to lie past a miscomputed block.
        (void)ImageGetPixel(frame.get(), ImageWidth(frame.get()) - 1, ImageHeight(frame.get()) - 1);
    }
    return 0;
}
