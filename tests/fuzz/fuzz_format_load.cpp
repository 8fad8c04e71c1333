// Any bytes through the registry's probes and a frame source.
#include <cstdint>
#include <vector>

#include "codecs/codecs.h"
#include "formats/format.h"
#include "tests/fuzz/fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (FormatRegisterAll(), true);
    (void)registered;
    // Loaders may change the bytes in place, as in the copy-on-write view.
    std::vector<uint8_t> bytes(data, data + size);
    // A small budget keeps each run fast; the limit itself is tested elsewhere.
    // Every frame is touched, so that a bad one shows up here, and none is
    // kept: the source holds one at a time, as the viewer and the tool read.
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = 64u << 20;
    FrameSource* source = FrameSourceOpen(&request);
    if (!source) return 0;
    FrameSourceInOrder(source);
    for (int32_t n = 0; n < 1000; ++n) {
        const Image* frame = FrameSourceFrame(source, n);
        if (!frame) break;
        (void)ImageGetPixel(frame, 0, 0);
    }
    FrameSourceClose(source);
    return 0;
}
