// PNG: probe, loader and saver through zlib, and the encoding pieces that
// the animated PNG writer (apng.h) shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "formats/byte_writer.h"
#include "formats/format.h"
#include "formats/save.h"

// Colour types of the header.
enum PngColorType : uint8_t {
    kPngGray = 0,
    kPngRgb = 2,
    kPngPalette = 3,
    kPngGrayAlpha = 4,
    kPngRgba = 6,
};

int PngProbe(const LoadRequest* request);
// Palette images without transparency give 8-bit images with their palette,
// grey ones 8-bit images with a grey ramp, RGB 24-bit ones; whatever carries
// transparency (an alpha channel, or a tRNS chunk that makes a pixel less
// than opaque) gives a 32-bit image whose fourth byte is the alpha.
// 16-bit samples keep their high byte.
Image* PngLoad(LoadRequest* request);
// 1, 4 and 8-bit images as palette PNGs of the fewest bits their used
// colours need, 16 and 24-bit ones as RGB, 32-bit ones as RGBA (as RGB when
// every fourth byte is 0 or every one is 255: no alpha to keep).
int PngSave(Image* image, SaveRequest* request);

extern const FileFormat kPngFormat;

// Whether the fourth bytes of a 32-bit image are alpha worth keeping: not
// when every one is 0 (pictures written without alpha) or every one is 255.
bool PngCarriesAlpha(const Image* image);

// ---- Building blocks of the writers -------------------------------------------

// Big-endian values, as PNG stores them.
inline void PutU32Be(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

// The 8-byte signature.
void PngWriteSignature(ByteWriter& out);
// One chunk: length, type, data and CRC.
void PngWriteChunk(ByteWriter& out, const char* type, const uint8_t* data, size_t size);
// IHDR, not interlaced.
void PngWriteHeader(ByteWriter& out, int width, int height, int depth, PngColorType type);

// How rows are filtered before they are deflated.
enum class PngFilters {
    kNone,      // every row unfiltered: what suits palette pictures best
    kAdaptive,  // per row, the filter whose output has the least sum of absolute values
};

// Filters and deflates the rows of one picture into IDAT chunks, or into
// fdAT chunks numbered from *sequence on when it is given (animation frames).
// Rows are handed in one at a time, from the top.
class PngRowEncoder {
public:
    PngRowEncoder(ByteWriter& out, size_t rowBytes, int pixelBytes, PngFilters filters, uint32_t* sequence,
                  int level = 9);
    ~PngRowEncoder();
    PngRowEncoder(const PngRowEncoder&) = delete;
    PngRowEncoder& operator=(const PngRowEncoder&) = delete;

    // False when zlib fails or finds no memory; then every later call is
    // false. Where its rows find no memory, std::bad_alloc.
    bool ok() const { return ok_; }
    bool row(const uint8_t* raw);
    // Ends the stream and writes the last chunk.
    bool finish();

private:
    bool deflateSome(const uint8_t* data, size_t size, bool last);
    void flushChunk();

    struct State;
    std::unique_ptr<State> state_;
    ByteWriter& out_;
    size_t rowBytes_;
    int pixelBytes_;
    PngFilters filters_;
    uint32_t* sequence_;
    bool ok_ = true;
};
