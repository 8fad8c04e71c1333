#include "image/image.h"

#include <algorithm>
#include <cstring>

namespace {

// Row address of picture row y: rows are stored bottom-up.
inline uint8_t* RowAddress(const Image* image, int y) {
    const int64_t stride = ImageStride(image);
    const int64_t memoryRow = int64_t{ImageHeight(image)} - 1 - y;
    return image->bits + memoryRow * stride;
}

void SetPacked(Image* image, int x, int y, uint32_t value) {
    const int depth = ImageBitCount(image);
    const int perByte = 8 / depth;
    const int shift = 8 - depth * ((x % perByte) + 1);
    const uint8_t mask = static_cast<uint8_t>(((1u << depth) - 1) << shift);
    uint8_t* byte = RowAddress(image, y) + ((int64_t{x} * depth) >> 3);
    *byte = static_cast<uint8_t>((*byte & ~mask) | ((value << shift) & mask));
}

uint32_t GetPacked(const Image* image, int x, int y) {
    const int depth = ImageBitCount(image);
    const int perByte = 8 / depth;
    const int shift = 8 - depth * ((x % perByte) + 1);
    const uint8_t mask = static_cast<uint8_t>(((1u << depth) - 1) << shift);
    const uint8_t* byte = RowAddress(image, y) + ((int64_t{x} * depth) >> 3);
    return static_cast<uint32_t>((*byte & mask) >> shift);
}

void Set8(Image* image, int x, int y, uint32_t value) { RowAddress(image, y)[x] = static_cast<uint8_t>(value); }
uint32_t Get8(const Image* image, int x, int y) { return RowAddress(image, y)[x]; }

void Set16(Image* image, int x, int y, uint32_t value) {
    uint8_t* p = RowAddress(image, y) + int64_t{x} * 2;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
uint32_t Get16(const Image* image, int x, int y) {
    const uint8_t* p = RowAddress(image, y) + int64_t{x} * 2;
    return p[0] | (uint32_t{p[1]} << 8);
}

void Set24(Image* image, int x, int y, uint32_t value) {
    uint8_t* p = RowAddress(image, y) + int64_t{x} * 3;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
}
uint32_t Get24(const Image* image, int x, int y) {
    const uint8_t* p = RowAddress(image, y) + int64_t{x} * 3;
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
}

void Set32(Image* image, int x, int y, uint32_t value) {
    uint8_t* p = RowAddress(image, y) + int64_t{x} * 4;
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
uint32_t Get32(const Image* image, int x, int y) {
    const uint8_t* p = RowAddress(image, y) + int64_t{x} * 4;
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Indexed by depth / 8.
constexpr PixelWriter kWriters[5] = {SetPacked, Set8, Set16, Set24, Set32};
constexpr PixelReader kReaders[5] = {GetPacked, Get8, Get16, Get24, Get32};

bool IsSupportedDepth(int depth) {
    return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

// Stride and pixel-block size in 64 bits; 0 when the image is not allowed.
uint64_t CheckedBitsSize(int width, int height, int depth) {
    if (width < 1 || height < 1 || width > kImageMaxDimension || height > kImageMaxDimension) return 0;
    const uint64_t size = DibStride(width, depth) * uint64_t(height);
    return size <= kImageMaxBitsSize ? size : 0;
}

// An image whose pixels are left as the heap gives them, for callers that
// write every byte of them.
Image* CreateUncleared(int width, int height, int depth, bool zeroed = false) {
    if (!IsSupportedDepth(depth)) return nullptr;
    const uint64_t bitsSize = CheckedBitsSize(width, height, depth);
    if (bitsSize == 0) return nullptr;

    auto* image = static_cast<Image*>(MemAlloc(sizeof(Image)));
    if (!image) return nullptr;
    std::memset(image, 0, sizeof(Image));

    image->header = static_cast<BitmapInfo*>(MemAlloc(sizeof(BitmapInfo)));
    if (!image->header) {
        ImageDestroy(image);
        return nullptr;
    }
    // A colour table that never receives a palette reads as black.
    std::memset(image->header, 0, sizeof(BitmapInfo));
    BitmapInfoHeader& h = image->header->bmiHeader;
    h.biSize = 40;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<uint16_t>(depth);
    h.biCompression = kBiRgb;
    image->setPixel = kWriters[depth / 8];
    image->getPixel = kReaders[depth / 8];

    image->bits = static_cast<uint8_t*>(zeroed ? MemAllocZeroed(static_cast<size_t>(bitsSize)) : MemAlloc(static_cast<size_t>(bitsSize)));
    if (!image->bits) {
        ImageDestroy(image);
        return nullptr;
    }
    return image;
}

}  // namespace

Image* ImageCreate(int width, int height, int depth) {
    return CreateUncleared(width, height, depth, true);
}

int ImageDestroy(Image* image) {
    if (!image) return 1;
    MemFree(image->bits);
    MemFree(image->header);
    MemFree(image);
    return 1;
}

void CopyChanged(void* to, const void* from, size_t size) {
    constexpr size_t kChunk = 4096;  // a page, where the block is aligned to them
    auto* out = static_cast<uint8_t*>(to);
    const auto* in = static_cast<const uint8_t*>(from);
    for (size_t at = 0; at < size; at += kChunk) {
        const size_t n = std::min(kChunk, size - at);
        if (std::memcmp(out + at, in + at, n) != 0) std::memcpy(out + at, in + at, n);
    }
}

Image* ImageDuplicate(const Image* source) {
    Image* copy = ImageCreate(ImageWidth(source), ImageHeight(source), ImageBitCount(source));
    if (!copy) return nullptr;
    std::memcpy(copy->header, source->header, static_cast<size_t>(ImageHeaderSize(source)));
    CopyChanged(copy->bits, source->bits, static_cast<size_t>(ImageBitsSize(source)));
    PaletteEntry entries[256];
    if (ImageGetPalette(source, entries)) ImageSetPalette(copy, entries);
    copy->format = source->format;
    copy->delay = source->delay;
    return copy;
}

uint32_t ImageGetDelay(const Image* image) { return image->delay; }
void ImageSetDelay(Image* image, uint32_t milliseconds) { image->delay = milliseconds; }

int ImageSetPalette(Image* image, const PaletteEntry* entries) {
    const int depth = ImageBitCount(image);
    if (depth > 8) return 0;
    const int count = 1 << depth;
    image->hasPalette = 1;
    for (int i = 0; i < count; ++i) {
        RgbQuad& q = image->header->bmiColors[i];
        q.rgbBlue = entries[i].blue;
        q.rgbGreen = entries[i].green;
        q.rgbRed = entries[i].red;
        q.rgbReserved = entries[i].flags;
    }
    return 1;
}

int ImageGetPalette(const Image* image, PaletteEntry* out) {
    if (!image->hasPalette) return 0;
    const int count = 1 << ImageBitCount(image);
    for (int i = 0; i < count; ++i) {
        const RgbQuad& q = image->header->bmiColors[i];
        out[i] = {q.rgbRed, q.rgbGreen, q.rgbBlue, q.rgbReserved};
    }
    return 1;
}

RgbQuad* ImageColorTable(Image* image, int index) { return &image->header->bmiColors[index]; }
const RgbQuad* ImageColorTable(const Image* image, int index) { return &image->header->bmiColors[index]; }

BitmapInfo* ImageHeader(Image* image) { return image->header; }
const BitmapInfo* ImageHeader(const Image* image) { return image->header; }
uint8_t* ImageBits(Image* image) { return image->bits; }
const uint8_t* ImageBits(const Image* image) { return image->bits; }
const FileFormat* ImageFormat(const Image* image) { return image->format; }

int32_t ImageWidth(const Image* image) { return image->header->bmiHeader.biWidth; }
int32_t ImageHeight(const Image* image) { return image->header->bmiHeader.biHeight; }
uint16_t ImageBitCount(const Image* image) { return image->header->bmiHeader.biBitCount; }

// Creation bounds width, height and depth, so these cannot overflow 32 bits.
int32_t ImageStride(const Image* image) { return static_cast<int32_t>(DibStride(ImageWidth(image), ImageBitCount(image))); }
int32_t ImageRowBytes(const Image* image) { return (ImageBitCount(image) * ImageWidth(image) + 7) >> 3; }
int32_t ImageBitsSize(const Image* image) { return ImageHeight(image) * ImageStride(image); }

int32_t ImageColorTableSize(const Image* image) {
    const BitmapInfoHeader& h = image->header->bmiHeader;
    if (h.biBitCount <= 8) return h.biClrUsed != 0 ? static_cast<int32_t>(h.biClrUsed) * 4 : (1 << h.biBitCount) * 4;
    return h.biCompression == kBiBitfields ? 12 : 0;
}

int32_t ImageHeaderSize(const Image* image) { return 40 + ImageColorTableSize(image); }
int32_t ImagePackedSize(const Image* image) { return ImageHeaderSize(image) + ImageBitsSize(image); }

uint8_t* ImageRow(Image* image, int y) { return RowAddress(image, y); }
const uint8_t* ImageRow(const Image* image, int y) { return RowAddress(image, y); }

uint32_t ImageGetPixel(const Image* image, int x, int y) { return image->getPixel(image, x, y); }
int ImageSetPixel(Image* image, int x, int y, uint32_t value) {
    image->setPixel(image, x, y, value);
    return 1;
}

int PaletteExpand(PaletteEntry* out, const uint8_t* source, int count, int order) {
    if (order < 0 || order > 2) return 0;
    for (int i = 0; i < count; ++i) {
        if (order == 2) {
            const uint8_t* s = source + i * 4;
            out[i] = {s[2], s[1], s[0], s[3]};
        } else {
            const uint8_t* s = source + i * 3;
            out[i] = order == 0 ? PaletteEntry{s[0], s[1], s[2], 0} : PaletteEntry{s[2], s[1], s[0], 0};
        }
    }
    return 1;
}

int PalettePack(const PaletteEntry* entries, uint8_t* out, int count, int order) {
    if (order < 0 || order > 2) return 0;
    for (int i = 0; i < count; ++i) {
        const PaletteEntry& e = entries[i];
        if (order == 2) {
            uint8_t* o = out + i * 4;
            o[0] = e.blue, o[1] = e.green, o[2] = e.red, o[3] = e.flags;
        } else {
            uint8_t* o = out + i * 3;
            if (order == 0) o[0] = e.red, o[1] = e.green, o[2] = e.blue;
            else o[0] = e.blue, o[1] = e.green, o[2] = e.red;
        }
    }
    return 1;
}

int ImageFlipVertical(Image* image) {
    const int height = ImageHeight(image);
    if (height <= 1) return 0;
    const size_t stride = static_cast<size_t>(ImageStride(image));
    auto* temp = static_cast<uint8_t*>(MemAlloc(stride));
    if (!temp) return 0;
    for (int i = 0; i < height / 2; ++i) {
        uint8_t* a = image->bits + stride * static_cast<size_t>(i);
        uint8_t* b = image->bits + stride * static_cast<size_t>(height - 1 - i);
        std::memcpy(temp, a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, temp, stride);
    }
    MemFree(temp);
    return 1;
}

int ImageMirror(Image* image) {
    const int width = ImageWidth(image);
    if (width <= 1) return 1;
    for (int y = ImageHeight(image) - 1; y >= 0; --y) {
        for (int x = width / 2 - 1; x >= 0; --x) {
            const int partner = width - 1 - x;
            const uint32_t left = image->getPixel(image, x, y);
            const uint32_t right = image->getPixel(image, partner, y);
            image->setPixel(image, x, y, right);
            image->setPixel(image, partner, y, left);
        }
    }
    return 1;
}
