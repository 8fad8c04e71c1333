// Any bytes straight into the Pro Motion loader, whatever its probe says, and
// what it loads back through the saver.
#include "codecs/spr.h"
#include "tests/fuzz/fuzz_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLoadAndRoundTrip(data, size, SprLoad, SprSave);
    return 0;
}
