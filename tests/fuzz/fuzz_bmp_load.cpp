// Any bytes through the BMP loader; whatever loads must also survive the
// saver and read back to the same pixels and colours.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    // A small budget keeps each run fast; the limit itself is tested elsewhere.
    request.budget = 64u << 20;
    Image* image = BmpLoad(&request);
    if (!image) return 0;

    SaveRequest save{kFormatBmp, nullptr, nullptr, kErrorNone};
    if (!BmpSave(image, &save)) std::abort();
    LoadRequest again{};
    again.data = save.output->data;
    again.size = static_cast<uint32_t>(save.output->size);
    Image* back = BmpLoad(&again);
    if (!back || ImageBitCount(back) != ImageBitCount(image) || ImageBitsSize(back) != ImageBitsSize(image) ||
        std::memcmp(ImageBits(back), ImageBits(image), static_cast<size_t>(ImageBitsSize(image))) != 0 ||
        std::memcmp(ImageHeader(back), ImageHeader(image), static_cast<size_t>(ImageHeaderSize(image))) != 0)
        std::abort();
    ImageDestroy(back);
    MemBufferFree(save.output);
    ImageDestroy(image);
    return 0;
}
