// TGA: an 18-byte header, the image ID, an optional colour map, then the
// pixel rows (bottom row first unless the descriptor says otherwise), raw or
// as run-length packets of whole pixels.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/tga_test.cpp):
// - Run-length packets that run on from one row into the next (many writers
//   pack the image as one sequence): read on into the next row; what runs
//   past the last pixel is dropped. RunLengthPacketsContinueIntoTheNextRow
// - 8-bit colour-mapped or true-colour pixels without a colour map: grey
//   levels. GrayImagesAndEightBitsWithoutAMapGetAGrayRamp
#include "codecs/tga.h"

#include <algorithm>
#include <cstring>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"
#include "image/convert.h"

namespace {

constexpr uint8_t kDescriptorRightToLeft = 0x10;
constexpr uint8_t kDescriptorTopDown = 0x20;

struct TgaHeader {
    int idLength;
    int mapType;
    int type;
    int mapFirst;
    int mapCount;
    int mapBits;
    int width;
    int height;
    int depth;
    int descriptor;
};

TgaHeader ParseHeader(const uint8_t* h) {
    return {h[0], h[1], h[2], GetU16(h + 3), GetU16(h + 5), h[7], GetU16(h + 12), GetU16(h + 14), h[16], h[17]};
}

bool IsGray(int type) { return (type & ~kTgaRunLength) == kTgaGray; }

// Colour map entries of 15 or 16 bits are 5-5-5 words (the top bit is no
// colour); 32-bit entries carry an alpha byte that a palette cannot hold.
PaletteEntry MapEntry(const uint8_t* p, int bytes) {
    if (bytes == 2) {
        const uint32_t rgb = Rgb555To24(GetU16(p));  // widened as 16-bit pixels are
        return {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb), 0};
    }
    return {p[2], p[1], p[0], 0};
}

// Reads the colour map into `entries` (indices from its first-entry field on;
// entries it does not supply stay black). False when it is cut short or its
// entry size is none a writer uses.
bool ReadColorMap(ByteReader& in, const TgaHeader& h, PaletteEntry* entries) {
    if (h.mapCount == 0) return true;
    if (h.mapBits != 15 && h.mapBits != 16 && h.mapBits != 24 && h.mapBits != 32) return false;
    const int bytes = (h.mapBits + 7) / 8;
    const uint8_t* map = in.take(static_cast<size_t>(h.mapCount) * static_cast<size_t>(bytes));
    if (!map) return false;
    for (int i = 0; i < h.mapCount && h.mapFirst + i < 256; ++i) entries[h.mapFirst + i] = MapEntry(map + i * bytes, bytes);
    return true;
}

// Stores decoded pixels row after row in file order; what comes after the
// last pixel of the image is dropped.
class PixelSink {
public:
    PixelSink(Image* image, bool topDown)
        : image_(image),
          width_(ImageWidth(image)),
          height_(ImageHeight(image)),
          pixelBytes_(ImageBitCount(image) / 8),
          topDown_(topDown) {}

    bool full() const { return row_ >= height_; }

    void put(const uint8_t* pixels, int64_t count) {
        while (count > 0 && !full()) {
            const int64_t n = std::min<int64_t>(count, width_ - column_);
            std::memcpy(address(), pixels, static_cast<size_t>(n * pixelBytes_));
            pixels += n * pixelBytes_;
            advance(n);
            count -= n;
        }
    }

    void repeat(const uint8_t* pixel, int64_t count) {
        for (; count > 0 && !full(); --count) {
            std::memcpy(address(), pixel, static_cast<size_t>(pixelBytes_));
            advance(1);
        }
    }

private:
    uint8_t* address() {
        const int y = topDown_ ? row_ : height_ - 1 - row_;
        return ImageRow(image_, y) + column_ * pixelBytes_;
    }
    void advance(int64_t n) {
        column_ += n;
        if (column_ == width_) column_ = 0, ++row_;
    }

    Image* image_;
    int64_t width_;
    int height_;
    int64_t pixelBytes_;
    bool topDown_;
    int row_ = 0;
    int64_t column_ = 0;
};

bool ReadRaw(ByteReader& in, PixelSink& sink, uint64_t pixels, int pixelBytes) {
    const uint8_t* data = in.take(pixels * static_cast<uint64_t>(pixelBytes));
    if (!data) return false;
    sink.put(data, static_cast<int64_t>(pixels));
    return true;
}

// Packets run on from one row into the next: many writers pack the image as
// one sequence, and a reader that restarted each row would shift every row
// after the first crossing packet.
bool ReadRunLength(ByteReader& in, PixelSink& sink, int pixelBytes) {
    while (!sink.full()) {
        const uint8_t head = in.u8();
        const int count = (head & 0x7F) + 1;
        const uint8_t* data = in.take(static_cast<size_t>(head & 0x80 ? 1 : count) * static_cast<size_t>(pixelBytes));
        if (!data) return false;
        if (head & 0x80) sink.repeat(data, count);
        else sink.put(data, count);
    }
    return true;
}

}  // namespace

int TgaProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* h = file.take(kTgaHeaderSize);
    if (!h) return 0;
    const int type = h[2];
    const bool knownType = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
    return h[1] <= 1 && (h[16] & 7) == 0 && knownType;
}

Image* TgaLoad(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* bytes = file.take(kTgaHeaderSize);
    if (!bytes) return Fail(request, kErrorInvalidData);
    const TgaHeader h = ParseHeader(bytes);
    const int pixelBytes = h.depth / 8;
    // No picture has no pixels or pixels of another size: the header is damaged.
    const bool knownDepth = h.depth == 8 || h.depth == 16 || h.depth == 24 || h.depth == 32;
    if (h.width == 0 || h.height == 0 || !knownDepth) return Fail(request, kErrorInvalidData);

    // A packet of 1 + pixelBytes bytes makes at most 128 pixels: a file too
    // short for its pixels is refused before its image is allocated.
    const uint64_t pixels = uint64_t(h.width) * uint64_t(h.height);
    const uint64_t leastData = h.type & kTgaRunLength ? (pixels + 127) / 128 * (1 + uint64_t(pixelBytes)) : pixels * uint64_t(pixelBytes);
    if (file.remaining() < leastData) return Fail(request, kErrorInvalidData);

    BudgetImage made = LoadBudget(request).createImage(h.width, h.height, h.depth);
    if (!made) return Fail(request, kErrorOutOfMemory);
    Image* image = made.get();

    if (!file.skip(static_cast<size_t>(h.idLength))) return Fail(request, kErrorInvalidData);
    PaletteEntry entries[256] = {};
    if (h.mapType != 0 && !ReadColorMap(file, h, entries)) return Fail(request, kErrorInvalidData);
    if (h.depth == 8) {
        // Gray levels, and 8-bit pixels with no map to look them up in.
        if (IsGray(h.type) || h.mapType == 0)
            for (int i = 0; i < 256; ++i) entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
        if (!ImageSetPalette(image, entries)) return Fail(request, kErrorOutOfMemory);
    }

    PixelSink sink(image, (h.descriptor & kDescriptorTopDown) != 0);
    const bool read = h.type & kTgaRunLength ? ReadRunLength(file, sink, pixelBytes) : ReadRaw(file, sink, pixels, pixelBytes);
    if (!read) return Fail(request, kErrorInvalidData);
    if (h.descriptor & kDescriptorRightToLeft) ImageMirror(image);
    return made.release();
}

int TgaEncodeRow(const uint8_t* row, int pixels, int bytesPerPixel, uint8_t* out) {
    const size_t b = static_cast<size_t>(bytesPerPixel);
    uint8_t* o = out;
    auto packet = [&o, b](uint8_t head, const uint8_t* data, int count) {
        *o++ = head;
        std::memcpy(o, data, static_cast<size_t>(count) * b);
        o += static_cast<size_t>(count) * b;
    };
    auto at = [row, b](int i) { return row + static_cast<size_t>(i) * b; };
    const uint8_t* previous = nullptr;  // none at the start and after a full packet
    int raw = 0;      // pixels since the last packet, not yet written
    int repeats = 0;  // further copies of `previous` after its first
    for (int i = 0; i < pixels; ++i) {
        const uint8_t* value = at(i);
        if (previous && std::memcmp(value, previous, b) == 0) {
            // The last pending raw pixel is `previous`, the start of this run.
            if (raw > 1) packet(static_cast<uint8_t>(raw - 2), at(i - raw), raw - 1);
            raw = 0;
            if (++repeats == 127) {
                packet(0xFF, value, 1);
                repeats = 0;
                previous = nullptr;
            }
        } else {
            if (repeats > 0) {
                packet(static_cast<uint8_t>(0x80 | repeats), previous, 1);
                repeats = 0;
            }
            if (++raw == 128) {
                packet(0x7F, at(i - 127), 128);
                raw = 0;
                previous = nullptr;
            } else {
                previous = value;
            }
        }
    }
    if (repeats > 0) packet(static_cast<uint8_t>(0x80 | repeats), previous, 1);
    if (raw > 0) packet(static_cast<uint8_t>(raw - 1), at(pixels - raw), raw);
    return static_cast<int>(o - out);
}

int TgaSave(Image* image, SaveRequest* request) {
    const auto* options = static_cast<const TgaSaveOptions*>(request->options);
    const bool runLength = options && options->runLength != 0;
    const int bits = ImageBitCount(image);
    if (bits % 8 != 0) return Fail(request, kErrorColorNotSupported);
    MemBufferPtr buffer(MemBufferCreate(ImagePackedSize(image), kMemBufferGrowStep));
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    const bool mapped = bits == 8;
    uint8_t header[kTgaHeaderSize] = {};
    header[1] = mapped ? 1 : 0;
    header[2] = static_cast<uint8_t>((mapped ? kTgaColorMapped : kTgaTrueColor) + (runLength ? kTgaRunLength : 0));
    PutU16(header + 5, mapped ? 256 : 0);
    header[7] = mapped ? 24 : 0;
    PutU16(header + 12, static_cast<uint32_t>(ImageWidth(image)));
    PutU16(header + 14, static_cast<uint32_t>(ImageHeight(image)));
    header[16] = static_cast<uint8_t>(bits);
    ByteWriter out(buffer.get());
    out.write(header, sizeof header);
    if (mapped) {
        PaletteEntry colors[256];
        ImageColors(image, colors);
        uint8_t map[768];
        PalettePack(colors, map, 256, 1);
        out.write(map, sizeof map);
    }

    // Rows in stored order: the bottom row of the picture first.
    const size_t stride = static_cast<size_t>(ImageStride(image));
    const uint8_t* stored = ImageBits(image);
    const int height = ImageHeight(image);
    if (!runLength) {
        for (int m = 0; m < height; ++m) out.write(stored + stride * static_cast<size_t>(m), static_cast<size_t>(ImageRowBytes(image)));
    } else {
        HeapBytes encoded(static_cast<uint8_t*>(MemAlloc(2 * stride)));
        if (!encoded) return Fail(request, kErrorOutOfMemory);
        for (int m = 0; m < height && out.ok(); ++m) {
            if (request->work && !request->work->spend(stride)) return Fail(request, Status::Cancelled());
            const int length = TgaEncodeRow(stored + stride * static_cast<size_t>(m), ImageWidth(image), bits / 8, encoded.get());
            out.write(encoded.get(), static_cast<size_t>(length));
        }
    }
    if (!out.ok()) return Fail(request, kErrorWrite);
    request->output = buffer.release();
    return 1;
}

const FileFormat kTgaFormat = {kFormatTga, TgaProbe, TgaLoad, TgaSave, "Truevision Targa", "TGA", nullptr};
