// Small helpers shared by the codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "formats/mem_buffer.h"
#include "formats/save.h"
#include "image/image.h"

struct HeapFree {
    void operator()(void* block) const { MemFree(block); }
};
// A temporary heap block of the library's heap, freed at the end of its scope.
using HeapBytes = std::unique_ptr<uint8_t[], HeapFree>;

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void PutU16(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

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

// Ends a failed load: frees the frames made so far and sets the error.
inline Image* LoadFail(LoadRequest* request, Image* chain, ErrorCode error) {
    ImageDestroy(chain);
    request->error = error;
    return nullptr;
}

// Ends a failed save: frees the output made so far and sets the error.
inline int SaveFail(SaveRequest* request, MemBuffer* buffer, ErrorCode error) {
    MemBufferFree(buffer);
    request->error = error;
    return 0;
}

// Sequential writes into a MemBuffer that remember the first failure, so that
// an encoder writes straight through and checks once at the end.
class MemWriter {
public:
    explicit MemWriter(MemBuffer* buffer) : buffer_(buffer), at_(buffer->data) {}

    bool ok() const { return at_ != nullptr; }

    void write(const void* source, size_t length) {
        if (!at_) return;
        if (length > static_cast<size_t>(INT32_MAX)) {
            at_ = nullptr;
            return;
        }
        at_ = MemBufferWrite(buffer_, at_, source, static_cast<int32_t>(length));
    }
    void put(uint8_t value) { write(&value, 1); }
    void putU16(uint32_t value) {
        uint8_t bytes[2];
        PutU16(bytes, value);
        write(bytes, 2);
    }

private:
    MemBuffer* buffer_;
    uint8_t* at_;
};
