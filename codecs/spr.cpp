// SPR: "SPR", frame count, width, height (16 bits each), then per frame its
// delay in milliseconds, its palette and its pixels, rows top-down and
// unpadded.
#include "codecs/spr.h"

#include <cstring>

#include "formats/byte_reader.h"

namespace {

Image* Fail(LoadRequest* request, Image* chain, ErrorCode error) {
    ImageDestroy(chain);
    request->error = error;
    return nullptr;
}

}  // namespace

int SprProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* magic = file.take(3);
    return magic && std::memcmp(magic, "SPR", 3) == 0;
}

Image* SprLoad(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    if (!file.skip(3)) return Fail(request, nullptr, kErrorInvalidData);
    const int frames = file.u16();
    const int width = file.u16();
    const int height = file.u16();
    if (!file.ok() || frames == 0 || width == 0 || height == 0) return Fail(request, nullptr, kErrorInvalidData);
    const uint64_t pixelBytes = uint64_t(width) * uint64_t(height);
    if (file.remaining() / (kSprRecordHead + pixelBytes) < uint64_t(frames)) return Fail(request, nullptr, kErrorInvalidData);

    LoadBudget budget(request);
    const uint64_t footprint = LoadBudget::ImageFootprint(width, height, 8);
    Image* first = nullptr;
    Image* last = nullptr;
    for (int i = 0; i < frames; ++i) {
        // Past the budget, the frames read so far are the animation.
        if (!budget.take(footprint)) break;
        Image* image = ImageCreate(width, height, 8);
        if (!image) break;
        ImageLink(image, last);
        if (!first) first = image;
        last = image;

        const uint8_t* record = file.take(kSprRecordHead + static_cast<size_t>(pixelBytes));
        if (!record) return Fail(request, first, kErrorInvalidData);
        ImageSetDelay(image, static_cast<uint32_t>(record[0] | (record[1] << 8)));
        PaletteEntry entries[256];
        PaletteExpand(entries, record + 2, 256, 0);
        if (!ImageSetPalette(image, entries)) return Fail(request, first, kErrorOutOfMemory);
        const uint8_t* pixels = record + kSprRecordHead;
        for (int y = 0; y < height; ++y, pixels += width) std::memcpy(ImageRow(image, y), pixels, static_cast<size_t>(width));
    }
    if (!first) return Fail(request, nullptr, kErrorOutOfMemory);
    return first;
}

const FileFormat kSprFormat = {kFormatSpr, SprProbe, SprLoad, nullptr, "Pro Motion Animation", "SPR", nullptr};
