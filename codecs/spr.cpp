// SPR: "SPR", frame count, width, height (16 bits each), then per frame its
// delay in milliseconds, its palette and its pixels, rows top-down and
// unpadded.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/spr_test.cpp):
// - Files cut short, with fewer whole frames than the header counts: the
//   whole frames are the animation, and the load says the file is damaged.
//   DamagedAndEmptyFilesGiveCleanErrors
#include "codecs/spr.h"

#include <cstring>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"

int SprProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* magic = file.take(3);
    return magic && std::memcmp(magic, "SPR", 3) == 0;
}

Image* SprLoad(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    if (!file.skip(3)) return LoadFail(request, nullptr, kErrorInvalidData);
    const int frames = file.u16();
    const int width = file.u16();
    const int height = file.u16();
    if (!file.ok() || frames == 0 || width == 0 || height == 0) return LoadFail(request, nullptr, kErrorInvalidData);
    const uint64_t pixelBytes = uint64_t(width) * uint64_t(height);
    const uint64_t recordBytes = kSprRecordHead + pixelBytes;

    // A file cut short keeps its whole records; past the budget, the frames
    // read so far are the animation.
    LoadBudget budget(request);
    Image* first = nullptr;
    Image* last = nullptr;
    ErrorCode endedEarly = kErrorNone;
    for (int i = 0; i < LoadFrameCount(request, frames); ++i) {
        if (file.remaining() < recordBytes) {
            endedEarly = kErrorInvalidData;
            break;
        }
        Image* image = budget.createImage(width, height, 8);
        if (!image) {
            endedEarly = kErrorOutOfMemory;
            break;
        }
        ImageLink(image, last);
        if (!first) first = image;
        last = image;

        const uint8_t* record = file.take(static_cast<size_t>(recordBytes));
        ImageSetDelay(image, static_cast<uint32_t>(record[0] | (record[1] << 8)));
        PaletteEntry entries[256];
        PaletteExpand(entries, record + 2, 256, 0);
        if (!ImageSetPalette(image, entries)) return LoadFail(request, first, kErrorOutOfMemory);
        const uint8_t* pixels = record + kSprRecordHead;
        for (int y = 0; y < height; ++y, pixels += width) std::memcpy(ImageRow(image, y), pixels, static_cast<size_t>(width));
    }
    if (!first) return LoadFail(request, nullptr, endedEarly);  // not one whole frame, or no memory for it
    request->endedEarly = endedEarly;
    return first;
}

int SprSave(Image* first, SaveRequest* request) {
    const int width = ImageWidth(first);
    const int height = ImageHeight(first);
    // Every record has the header's size; a frame of another size or depth
    // would make the file unreadable.
    for (const Image* image = first; image; image = ImageNext(image)) {
        if (ImageBitCount(image) != 8 || ImageWidth(image) != width || ImageHeight(image) != height)
            return SaveFail(request, nullptr, kErrorColorNotSupported);
    }
    const int count = ImageCount(first);
    if (count > 0xFFFF) return SaveFail(request, nullptr, kErrorInvalidData);  // the header counts frames in 16 bits
    const uint64_t capacity = (uint64_t(ImageBitsSize(first)) + kSprRecordHead) * uint64_t(count) + kSprHeaderSize;
    MemBuffer* buffer = capacity <= INT32_MAX ? MemBufferCreate(static_cast<int32_t>(capacity), kMemBufferGrowStep) : nullptr;
    if (!buffer) return SaveFail(request, nullptr, kErrorOutOfMemory);
    ByteWriter out(buffer);
    out.write("SPR", 3);
    out.u16(static_cast<uint32_t>(count));
    out.u16(static_cast<uint32_t>(width));
    out.u16(static_cast<uint32_t>(height));
    for (const Image* image = first; image && out.ok(); image = ImageNext(image)) {
        // Longer delays than the field holds play as long as it allows.
        const uint32_t delay = ImageGetDelay(image);
        out.u16(delay < 0xFFFF ? delay : 0xFFFF);
        PaletteEntry colors[256];
        ImageColors(image, colors);
        uint8_t palette[768];
        PalettePack(colors, palette, 256, 0);
        out.write(palette, sizeof palette);
        for (int y = 0; y < height; ++y) out.write(ImageRow(image, y), static_cast<size_t>(width));
    }
    if (!out.ok()) return SaveFail(request, buffer, kErrorWrite);
    request->output = buffer;
    return 1;
}

const FileFormat kSprFormat = {kFormatSpr, SprProbe, SprLoad, SprSave, "Pro Motion Animation", "SPR", nullptr};
