// BMP codec. The loader reads every common variant: OS/2 1.x core headers
// (12 bytes, 3-byte colour entries), OS/2 2.x and Windows headers of 16 to
// 124 bytes, bottom-up and top-down rows, RLE8 and RLE4, and bit-field masks.
// The saver writes the image's own header block, which is already a Windows
// info header with its colour table.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/bmp_test.cpp):
// - A colour table shorter than the bit count allows, with no count to say
//   so (OS/2 writers above all): the pixel offset tells where it ends.
//   ColourCountAndPixelOffsetLimitTheTable
// - A colour count above what the bit count allows (bmpsuite's
//   badpalettesize.bmp): taken as no count. ColourCountAndPixelOffsetLimitTheTable
// - A pixel offset inside the headers or the colour table: the pixels follow
//   the table. ColourCountAndPixelOffsetLimitTheTable
// - The last row without its padding: read. DamagedFilesAreInvalidData
// - RLE data without its end-of-bitmap code (many writers leave it out), cut
//   short, or with runs past the end of a row: what was decoded stays, pixels
//   past the row are dropped; top-down RLE (bmpsuite's rletopdown.bmp) is
//   read top-down. RleThatEndsEarlyOrOverrunsKeepsWhatWasDecoded
#include "codecs/bmp.h"

#include <bit>
#include <cstring>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"
#include "image/convert.h"

namespace {

constexpr uint32_t kOs2CoreHeaderSize = 12;
constexpr uint32_t kWindowsHeaderSize = 40;
constexpr uint32_t kOs2V2HeaderSize = 64;

struct BmpHeader {
    uint32_t pixelOffset = 0;
    uint32_t infoSize = 0;
    int32_t width = 0;
    int32_t height = 0;  // rows, always positive
    bool topDown = false;
    int bitCount = 0;
    uint32_t compression = kBmpRgb;
    uint32_t colorsUsed = 0;
    uint32_t masks[4] = {};  // red, green, blue, alpha
    size_t tableOffset = 0;
    int entrySize = 4;
    int tableEntries = 0;
};

// A field of the info header; 0 when the header is too short to have it.
uint32_t InfoField(ByteReader& file, uint32_t infoSize, uint32_t offset) {
    return infoSize >= offset + 4 ? file.u32At(kBmpFileHeaderSize + offset) : 0;
}

bool ValidBitCount(int bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

Status ReadHeader(ByteReader& file, BmpHeader& h) {
    h.pixelOffset = file.u32At(10);
    h.infoSize = file.u32At(14);
    if (file.failed()) return kErrorInvalidData;
    if (h.infoSize != kOs2CoreHeaderSize && h.infoSize < 16) return kErrorInvalidData;
    if (h.infoSize > file.size() - kBmpFileHeaderSize) return kErrorInvalidData;

    int64_t height;
    if (h.infoSize == kOs2CoreHeaderSize) {
        h.width = file.u16At(18);
        height = file.u16At(20);
        h.bitCount = file.u16At(24);
        h.entrySize = 3;
    } else {
        h.width = static_cast<int32_t>(file.u32At(18));
        height = static_cast<int32_t>(file.u32At(22));
        h.bitCount = file.u16At(28);
        h.compression = InfoField(file, h.infoSize, 16);
        h.colorsUsed = InfoField(file, h.infoSize, 32);
        for (int i = 0; i < 4; ++i) h.masks[i] = InfoField(file, h.infoSize, 40 + 4 * i);
    }
    h.topDown = height < 0;
    if (height < 0) height = -height;  // 64 bits: INT32_MIN negates safely
    if (h.width < 1 || h.width > kImageMaxDimension || height < 1 || height > kImageMaxDimension) return kErrorInvalidData;
    h.height = static_cast<int32_t>(height);
    // Embedded JPEG and PNG streams are whole other formats (and have no bit count).
    if (h.compression == kBmpJpeg || h.compression == kBmpPng) return kErrorUnsupportedType;
    if (!ValidBitCount(h.bitCount)) return kErrorInvalidData;

    // OS/2 2.x shares the Windows layout but numbers its compressions
    // differently: 3 is Huffman 1D and 4 is RLE24, neither of which we read.
    const bool os2v2 = h.infoSize == kOs2V2HeaderSize || (h.infoSize > 16 && h.infoSize < kWindowsHeaderSize);
    if (os2v2 && (h.compression == 3 || h.compression == 4)) return kErrorUnsupportedType;

    h.tableOffset = kBmpFileHeaderSize + size_t{h.infoSize};
    // Masks count only with bit-field compression, whatever a long header holds.
    if (h.compression != kBmpBitfields && h.compression != kBmpAlphaBitfields) std::memset(h.masks, 0, sizeof h.masks);
    switch (h.compression) {
        case kBmpRgb: break;
        case kBmpRle8:
            if (h.bitCount != 8) return kErrorInvalidData;
            break;
        case kBmpRle4:
            if (h.bitCount != 4) return kErrorInvalidData;
            break;
        case kBmpBitfields:
        case kBmpAlphaBitfields:
            if (h.bitCount != 16 && h.bitCount != 32) return kErrorInvalidData;
            // A 40-byte header is followed by its masks; longer ones hold them.
            if (h.infoSize < 52) {
                const int count = h.compression == kBmpAlphaBitfields ? 4 : 3;
                for (int i = 0; i < count; ++i) h.masks[i] = file.u32At(h.tableOffset + 4 * static_cast<size_t>(i));
                if (file.failed()) return kErrorInvalidData;
                h.tableOffset += 4 * static_cast<size_t>(count);
            }
            break;
        default: return kErrorInvalidData;
    }

    size_t tableEnd = h.tableOffset;
    if (h.bitCount <= 8) {
        const uint32_t full = 1u << h.bitCount;
        const bool counted = h.colorsUsed > 0 && h.colorsUsed <= full;
        h.tableEntries = static_cast<int>(counted ? h.colorsUsed : full);
        // Without a count, some writers (OS/2 ones above all) store fewer
        // entries than the bit count allows and put the pixels right after
        // them; the pixel offset tells.
        if (!counted && h.pixelOffset >= h.tableOffset) {
            const uint64_t room = (uint64_t{h.pixelOffset} - h.tableOffset) / static_cast<uint64_t>(h.entrySize);
            if (room < static_cast<uint64_t>(h.tableEntries)) h.tableEntries = static_cast<int>(room);
        }
        tableEnd += static_cast<size_t>(h.tableEntries) * static_cast<size_t>(h.entrySize);
        if (tableEnd > file.size()) return kErrorInvalidData;
    }
    // A pixel offset inside the headers or the table is wrong; the pixels
    // follow the table then (files written with a bad offset field exist).
    if (h.pixelOffset < tableEnd) h.pixelOffset = static_cast<uint32_t>(tableEnd);
    if (h.pixelOffset >= file.size()) return kErrorInvalidData;
    return kErrorNone;
}

bool PlainMasks(const BmpHeader& h) {
    if (h.compression != kBmpBitfields && h.compression != kBmpAlphaBitfields) return true;
    if (h.bitCount == 16) return h.masks[0] == 0x7C00 && h.masks[1] == 0x03E0 && h.masks[2] == 0x001F && h.masks[3] == 0;
    return h.masks[0] == 0xFF0000 && h.masks[1] == 0xFF00 && h.masks[2] == 0xFF &&
           (h.masks[3] == 0 || h.masks[3] == 0xFF000000u);
}

// One colour channel described by a mask, widened or narrowed to 8 bits.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (m == 0) return;
        shift = std::countr_zero(m);
        bits = std::bit_width(m >> shift);
    }

    uint32_t to8(uint32_t pixel) const {
        if (bits == 0) return 0;
        const uint32_t v = (pixel & mask) >> shift;
        return bits >= 8 ? v >> (bits - 8) : ChannelTo8(v, bits);
    }
};

// Picture row y of the image for the file's row number `row` (in file order).
int PictureRow(const BmpHeader& h, int64_t row) {
    return static_cast<int>(h.topDown ? row : h.height - 1 - row);
}

// Uncompressed pixels whose rows are already the image's layout.
void CopyRows(ByteReader& file, const BmpHeader& h, Image* image) {
    const size_t stride = static_cast<size_t>(ImageStride(image));
    const size_t rowBytes = static_cast<size_t>(ImageRowBytes(image));
    for (int64_t row = 0; row < h.height; ++row)
        std::memcpy(ImageRow(image, PictureRow(h, row)), file.data() + h.pixelOffset + static_cast<size_t>(row) * stride,
                    rowBytes);
}

// 16- or 32-bit pixels with masks, into a plain 24- or 32-bit image.
void UnpackMasked(ByteReader& file, const BmpHeader& h, Image* image) {
    const Channel red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]), alpha(h.masks[3]);
    const size_t stride = static_cast<size_t>(DibStride(h.width, h.bitCount));
    const int bytes = h.bitCount / 8;
    for (int64_t row = 0; row < h.height; ++row) {
        const uint8_t* in = file.data() + h.pixelOffset + static_cast<size_t>(row) * stride;
        const int y = PictureRow(h, row);
        for (int x = 0; x < h.width; ++x, in += bytes) {
            uint32_t pixel = in[0] | (uint32_t{in[1]} << 8);
            if (bytes == 4) pixel |= (uint32_t{in[2]} << 16) | (uint32_t{in[3]} << 24);
            uint32_t value = blue.to8(pixel) | (green.to8(pixel) << 8) | (red.to8(pixel) << 16);
            if (h.masks[3]) value |= alpha.to8(pixel) << 24;
            image->setPixel(image, x, y, value);
        }
    }
}

// RLE8 and RLE4. A missing end-of-bitmap code, or data that ends early, keeps
// what was decoded: many writers leave the end code out. Pixels that the
// codes skip stay at index 0.
void DecodeRle(ByteReader& in, const BmpHeader& h, Image* image) {
    const bool four = h.compression == kBmpRle4;
    int64_t x = 0, row = 0;
    auto put = [&](uint32_t index) {
        if (x < h.width && row < h.height) image->setPixel(image, static_cast<int>(x), PictureRow(h, row), index);
        ++x;
    };
    while (row < h.height && in.remaining() >= 2) {
        const int count = in.u8();
        const uint8_t value = in.u8();
        if (count > 0) {
            for (int i = 0; i < count; ++i) put(four ? (i & 1 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++row;
        } else if (value == 1) {  // end of bitmap
            return;
        } else if (value == 2) {  // delta: move right and up
            x += in.u8();
            row += in.u8();
        } else {  // absolute run, padded to a 16-bit boundary
            const size_t bytes = four ? (value + 1u) / 2 : value;
            const uint8_t* data = in.take(bytes);
            if (!data) return;
            for (int i = 0; i < value; ++i) put(four ? (i & 1 ? data[i / 2] & 15 : data[i / 2] >> 4) : data[i]);
            if (bytes & 1) in.skip(1);
        }
    }
}

}  // namespace

int BmpProbe(const LoadRequest* request) {
    return request->size >= 2 && request->data[0] == 'B' && request->data[1] == 'M';
}

Image* BmpLoad(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    BmpHeader h;
    if (const Status error = ReadHeader(file, h); !error.ok()) return Fail(request, error);

    const bool plain = PlainMasks(h);
    const bool rle = h.compression == kBmpRle8 || h.compression == kBmpRle4;
    if (!rle) {
        // Every row must be there; the last may lack its padding.
        const uint64_t rowBytes = (uint64_t(h.bitCount) * uint64_t(h.width) + 7) >> 3;
        const uint64_t needed = DibStride(h.width, h.bitCount) * uint64_t(h.height - 1) + rowBytes;
        if (needed > file.size() - h.pixelOffset) return Fail(request, kErrorInvalidData);
    }

    const int depth = plain ? h.bitCount : (h.masks[3] ? 32 : 24);
    BudgetImage made = LoadBudget(request).createImage(h.width, h.height, depth);
    if (!made) return Fail(request, kErrorOutOfMemory);
    Image* image = made.get();

    if (h.bitCount <= 8) {
        PaletteEntry entries[256] = {};
        const uint8_t* table = file.data() + h.tableOffset;
        PaletteExpand(entries, table, h.tableEntries, h.entrySize == 3 ? 1 : 2);
        if (!ImageSetPalette(image, entries)) return Fail(request, kErrorOutOfMemory);
    }

    if (rle) {
        ByteReader pixels = file.sub(h.pixelOffset, file.size() - h.pixelOffset);
        DecodeRle(pixels, h, image);
    } else if (plain) {
        CopyRows(file, h, image);
    } else {
        UnpackMasked(file, h, image);
    }
    return made.release();
}

int BmpSave(Image* image, SaveRequest* request) {
    const int32_t headerSize = ImageHeaderSize(image);
    const int32_t bitsSize = ImageBitsSize(image);
    const uint32_t pixelOffset = static_cast<uint32_t>(kBmpFileHeaderSize + headerSize);
    const uint32_t fileSize = pixelOffset + static_cast<uint32_t>(bitsSize);
    // One copy of the pixels: asked once before it.
    if (request->work && !request->work->spend(static_cast<uint64_t>(bitsSize))) return Fail(request, Status::Cancelled());
    MemBufferPtr buffer(MemBufferCreate(static_cast<int32_t>(fileSize), kMemBufferGrowStep));
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    ByteWriter out(buffer.get());
    out.write("BM", 2);
    out.u32(fileSize);
    out.u32(0);  // reserved
    out.u32(pixelOffset);
    out.write(ImageHeader(image), static_cast<size_t>(headerSize));
    out.write(ImageBits(image), static_cast<size_t>(bitsSize));
    if (!out.ok()) return Fail(request, kErrorWrite);
    request->output = buffer.release();
    return 1;
}

const FileFormat kBmpFormat = {kFormatBmp, BmpProbe, BmpLoad, BmpSave, "Windows or OS/2 Bitmap", "BMP;DIB", nullptr};
