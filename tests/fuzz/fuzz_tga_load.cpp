// Any bytes straight into the TGA loader, whatever its probe says, and what
// it loads back through the encoder, raw or run-length as the first byte says.
#include "codecs/tga.h"
#include "tests/fuzz/fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool runLength = size > 0 && (data[0] & 1);
    FuzzLoadAndRoundTrip(data, size, TgaLoad, [runLength](const Image* image, ErrorCode* error) {
        return TgaEncode(image, runLength, error);
    });
    return 0;
}
