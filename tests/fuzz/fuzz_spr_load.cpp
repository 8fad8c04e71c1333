// Any bytes that start like a Pro Motion file through its frame decoder,
// and its first frame back through the saver.
#include <cstring>

#include "codecs/spr.h"
#include "tests/fuzz/fuzz_roundtrip.h"

namespace {

Image* SprFirst(LoadRequest* request) {
    if (request->size >= 3) std::memcpy(request->data, "SPR", 3);  // whatever the probe would say
    std::vector<ImagePtr> frames = SourceFrames(request->data, request->size, request->budget, 1, &request->error);
    if (frames.empty() && request->error == kErrorNone) request->error = kErrorInvalidData;
    return frames.empty() ? nullptr : frames[0].release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = (FormatRegisterAll(), true);
    (void)registered;
    FuzzLoadAndRoundTrip(data, size, SprFirst, SprSave);
    return 0;
}
