// The in-memory image: one picture or one frame of an animation, held as a
// device-independent bitmap (info header, 256-entry colour table, bottom-up
// rows padded to 4 bytes) with a logical palette and a delay.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

struct FileFormat;

// Same layout as the Win32 BITMAPINFOHEADER (40 bytes, little-endian).
struct BitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

// Same layout as the Win32 RGBQUAD.
struct RgbQuad {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};
static_assert(sizeof(RgbQuad) == 4);

// The header block: info header followed by room for 256 colour entries.
struct BitmapInfo {
    BitmapInfoHeader bmiHeader;
    RgbQuad bmiColors[256];
};
static_assert(sizeof(BitmapInfo) == 40 + 256 * 4);

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

// Bytes of one stored row `width` pixels wide at `depth` bits per pixel:
// rows are padded to whole 32-bit words. In 64 bits, so that sizes a file
// states can be checked before anything is made of them.
constexpr uint64_t DibStride(uint64_t width, uint64_t depth) { return (width * depth + 31) / 32 * 4; }

// Limits that keep every size computation of an image far from overflow.
constexpr int32_t kImageMaxDimension = 65535;
constexpr uint64_t kImageMaxBitsSize = uint64_t{256} << 20;  // 256 MiB of pixels per image

struct Image;
using PixelWriter = void (*)(Image* image, int x, int y, uint32_t value);
using PixelReader = uint32_t (*)(const Image* image, int x, int y);

struct Image {
    BitmapInfo* header;
    uint8_t* bits;
    // 1 once ImageSetPalette filled the colour table. A palette-based display
    // gets its logical palette from the table while the Image is drawn: one
    // system object per frame would run a long animation out of them.
    int32_t hasPalette;
    const FileFormat* format;
    uint32_t delay;
    PixelWriter setPixel;
    PixelReader getPixel;
};

// Creation and lifetime. Width and height must be 1..kImageMaxDimension
// and the pixel block at most kImageMaxBitsSize; otherwise none.
Image* ImageCreate(int width, int height, int depth);
int ImageDestroy(Image* image);
// Owns an image until it goes out of scope.
struct ImageDeleter {
    void operator()(Image* image) const { ImageDestroy(image); }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;
// A copy whose pixel memory is touched only where the picture is not black
// (zero), so that a copy of a huge, mostly untouched canvas costs little.
Image* ImageDuplicate(const Image* image);
// memcpy that writes only the parts of `to` that differ from `from`: pages
// of a zeroed block that would receive zeros are never touched (nor
// committed), and copying a picture over an equal one writes nothing.
void CopyChanged(void* to, const void* from, size_t size);

uint32_t ImageGetDelay(const Image* image);
void ImageSetDelay(Image* image, uint32_t milliseconds);

// Palettes: 1 << depth entries, depth 8 or less only.
int ImageSetPalette(Image* image, const PaletteEntry* entries);
int ImageGetPalette(const Image* image, PaletteEntry* out);
RgbQuad* ImageColorTable(Image* image, int index);
const RgbQuad* ImageColorTable(const Image* image, int index);

BitmapInfo* ImageHeader(Image* image);
const BitmapInfo* ImageHeader(const Image* image);
uint8_t* ImageBits(Image* image);
const uint8_t* ImageBits(const Image* image);
const FileFormat* ImageFormat(const Image* image);

// Geometry, all from the header.
int32_t ImageWidth(const Image* image);
int32_t ImageHeight(const Image* image);
uint16_t ImageBitCount(const Image* image);
int32_t ImageStride(const Image* image);
int32_t ImageRowBytes(const Image* image);
int32_t ImageBitsSize(const Image* image);
int32_t ImageColorTableSize(const Image* image);
int32_t ImageHeaderSize(const Image* image);
int32_t ImagePackedSize(const Image* image);

// Address of picture row y (0 is the top row).
uint8_t* ImageRow(Image* image, int y);
const uint8_t* ImageRow(const Image* image, int y);

// Pixel access; callers keep 0 <= x < width and 0 <= y < height.
uint32_t ImageGetPixel(const Image* image, int x, int y);
int ImageSetPixel(Image* image, int x, int y, uint32_t value);

// Palette byte orders of files: 0 RGB triples, 1 BGR triples, 2 BGRX quads.
int PaletteExpand(PaletteEntry* out, const uint8_t* source, int count, int order);
int PalettePack(const PaletteEntry* entries, uint8_t* out, int count, int order);

int ImageFlipVertical(Image* image);
int ImageMirror(Image* image);
