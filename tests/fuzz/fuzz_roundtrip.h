// What the fuzz targets share: the frames of a source, and a round trip
// (whatever a loader makes of the bytes, its own encoder writes it back and
// the loader reads the same picture).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/codecs.h"
#include "formats/format.h"
#include "formats/frame_source.h"
#include "formats/save.h"

// Copies of the frames a source gives of the bytes, at most `most` of them
// (which keeps the runs fast); none with `error` when there is none.
inline std::vector<ImagePtr> SourceFrames(uint8_t* data, size_t size, uint64_t budget, size_t most,
                                          Status* error = nullptr) {
    LoadRequest request{};
    request.data = data;
    request.size = static_cast<uint32_t>(size);
    request.budget = budget;
    std::vector<ImagePtr> frames;
    FrameSource* source = FrameSourceOpen(&request);
    if (error) *error = request.error;
    if (!source) return frames;
    FrameSourceInOrder(source);
    for (int32_t n = 0; frames.size() < most; ++n) {
        const Image* frame = FrameSourceFrame(source, n);
        if (!frame) break;
        frames.emplace_back(ImageDuplicate(frame));
        if (!frames.back()) __builtin_trap();
    }
    FrameSourceClose(source);
    return frames;
}

inline bool SamePicture(const Image* a, const Image* b) {
    {
        if (ImageWidth(a) != ImageWidth(b) || ImageHeight(a) != ImageHeight(b) || ImageBitCount(a) != ImageBitCount(b)) return false;
        // Whole bytes at once; the pixels of a last, partly used byte one by one.
        const int depth = ImageBitCount(a);
        const int width = ImageWidth(a);
        const size_t wholeBytes = static_cast<size_t>(width) * static_cast<size_t>(depth) / 8;
        const int tailFrom = static_cast<int>(wholeBytes * 8 / static_cast<size_t>(depth));
        for (int y = 0; y < ImageHeight(a); ++y) {
            if (std::memcmp(ImageRow(a, y), ImageRow(b, y), wholeBytes) != 0) return false;
            for (int x = tailFrom; x < width; ++x)
                if (ImageGetPixel(a, x, y) != ImageGetPixel(b, x, y)) return false;
        }
        if (ImageBitCount(a) <= 8 && std::memcmp(ImageColorTable(a, 0), ImageColorTable(b, 0), sizeof(RgbQuad) << ImageBitCount(a)) != 0)
            return false;
    }
    return true;
}

// A load that gives no picture must say why, with one of the registry's errors.
inline void TrapUnlessAFailure(const Status& status) {
    if (!status.failed() || status.error < kErrorUnsupportedType || status.error > kErrorFileNotFound) __builtin_trap();
}

// Loads `data`; then, when `save` takes the picture, saves and reloads it.
template <typename Load, typename Save>
void FuzzLoadAndRoundTrip(const uint8_t* data, size_t size, Load load, Save save, void* options = nullptr) {
    std::vector<uint8_t> bytes(data, data + size);  // loaders may write to their view
    LoadRequest request{};
    request.data = bytes.data();
    request.size = static_cast<uint32_t>(bytes.size());
    request.budget = 1u << 20;  // small pictures keep the runs fast
    Image* image = load(&request);
    if (!image) {
        TrapUnlessAFailure(request.error);
        return;
    }
    SaveRequest saving{kFormatNone, options, nullptr, kErrorNone};
    if (save(image, &saving)) {
        MemBuffer* encoded = saving.output;
        LoadRequest again{};
        again.data = encoded->data;
        again.size = static_cast<uint32_t>(encoded->size);
        Image* back = load(&again);
        if (!back || !SamePicture(image, back)) __builtin_trap();
        ImageDestroy(back);
        MemBufferFree(encoded);
    } else if (saving.error == kErrorNone) {
        __builtin_trap();
    }
    ImageDestroy(image);
}
