// Small helpers shared by the codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "formats/byte_writer.h"
#include "formats/mem_buffer.h"
#include "formats/save.h"
#include "image/image.h"

struct HeapFree {
    void operator()(void* block) const { MemFree(block); }
};
// A temporary heap block of the library's heap, freed at the end of its scope.
using HeapBytes = std::unique_ptr<uint8_t[], HeapFree>;

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The 1 << depth colours of an image of 8 bits or less: its palette, or its
// colour table when it has none (black unless someone filled it).
inline void ImageColors(const Image* image, PaletteEntry* out) {
    if (ImageGetPalette(image, out)) return;
    const int count = 1 << ImageBitCount(image);
    for (int i = 0; i < count; ++i) {
        const RgbQuad* q = ImageColorTable(image, i);
        out[i] = {q->rgbRed, q->rgbGreen, q->rgbBlue, 0};
    }
}
