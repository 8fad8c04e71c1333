// Any bytes straight into the PNG loader, whatever its probe says, and what
// it loads back through the saver.
#include "codecs/png.h"
#include "tests/fuzz/fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLoadAndRoundTrip(data, size, PngLoad, PngSave, nullptr);
    return 0;
}
