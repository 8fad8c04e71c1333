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
    // Every frame is touched, so that a bad one shows up here.
    for (const ImagePtr& frame : SourceFrames(bytes.data(), bytes.size(), 64u << 20, 1000))
        (void)ImageGetPixel(frame.get(), 0, 0);
    return 0;
}
