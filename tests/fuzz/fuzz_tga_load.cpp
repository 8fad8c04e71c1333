// Any bytes straight into the TGA loader, whatever its probe says, and what
// it loads back through the saver, raw or run-length as the first byte says.
#include "codecs/tga.h"
#include "tests/fuzz/fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TgaSaveOptions options{size > 0 ? data[0] & 1u : 0u};
    FuzzLoadAndRoundTrip(data, size, TgaLoad, TgaSave, &options);
    return 0;
}
