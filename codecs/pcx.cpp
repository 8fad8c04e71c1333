// PCX: a 128-byte header, then each scan line from the top as one run-length
// encoded line per plane; 8-bit files end with a 256-colour palette.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/pcx_test.cpp):
// - Monochrome files whose header palette was left empty (two equal colours):
//   black and white. OneBitImageWithTwoEqualHeaderColorsIsBlackAndWhite
// - 8-bit files whose palette lacks its 0x0C marker or has other bytes before
//   it: the last 768 bytes are the palette. EightBitTakesTheLastPaletteWhateverPrecedesIt
// - Runs that go on past the end of their plane line: what they make past it
//   is dropped, and the next plane starts with the next packet.
//   RunsStopAtTheEndOfTheirPlaneLine
#include "codecs/pcx.h"

#include <algorithm>
#include <cstring>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"

namespace {

// How the plane lines of one scan line become an image row.
enum class PlaneLayout {
    // Planes interleaved byte by byte: one plane of 1, 2, 4 or 8 bits, or
    // 8-bit red, green, blue (and alpha) planes.
    bytes,
    // Each plane holds the next bits of every pixel's value, plane 0 the
    // lowest: the EGA and VGA 16-colour files (1 bit x 4 planes) and kin.
    bitPlanes,
};

struct PcxShape {
    int depth;
    PlaneLayout layout;
};

// The layouts writers produce; any other has no picture we could show.
bool ShapeOf(int bits, int planes, PcxShape* shape) {
    if (planes == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8)) {
        *shape = {bits, PlaneLayout::bytes};
        return true;
    }
    if (bits == 8 && (planes == 3 || planes == 4)) {
        *shape = {8 * planes, PlaneLayout::bytes};
        return true;
    }
    if ((bits == 1 || bits == 2) && planes >= 2 && bits * planes <= 4) {
        *shape = {bits * planes == 2 ? 2 : 4, PlaneLayout::bitPlanes};
        return true;
    }
    return false;
}

// Byte i of the k-th plane in the file lands at i * planes + kPlaneOffset[planes][k]
// of the row: red, green, blue, alpha planes make blue, green, red, alpha pixels.
constexpr uint8_t kPlaneOffset[5][4] = {{0}, {0}, {0}, {2, 1, 0}, {2, 1, 0, 3}};

// One plane line of `length` bytes. A run never carries over into the next
// plane or line: what it produces past the line's end is dropped.
bool DecodeLine(ByteReader& in, uint8_t* line, size_t length) {
    size_t produced = 0;
    while (produced < length) {
        const uint8_t byte = in.u8();
        if (byte < 0xC0) {
            line[produced++] = byte;
        } else {
            const uint8_t value = in.u8();
            const size_t count = std::min<size_t>(byte & 0x3F, length - produced);
            std::memset(line + produced, value, count);
            produced += count;
        }
        if (!in.ok()) return false;
    }
    return true;
}

void StoreBytes(const uint8_t* line, size_t length, int planes, Image* image, int y) {
    uint8_t* row = ImageRow(image, y);
    const size_t stride = static_cast<size_t>(ImageStride(image));
    if (planes == 1) {
        std::memcpy(row, line, std::min(length, stride));
        return;
    }
    for (int k = 0; k < planes; ++k) {
        const uint8_t* plane = line + static_cast<size_t>(k) * length;
        for (size_t i = 0, at = kPlaneOffset[planes][k]; i < length && at < stride; ++i, at += static_cast<size_t>(planes))
            row[at] = plane[i];
    }
}

void MergeBitPlanes(const uint8_t* line, size_t length, int planes, int bits, Image* image, int y) {
    const uint32_t mask = (1u << bits) - 1;
    const int width = ImageWidth(image);
    for (int x = 0; x < width; ++x) {
        const size_t bit = static_cast<size_t>(x) * static_cast<size_t>(bits);
        const int shift = 8 - bits - static_cast<int>(bit & 7);
        uint32_t value = 0;
        for (int k = 0; k < planes; ++k)
            value |= ((line[static_cast<size_t>(k) * length + bit / 8] >> shift) & mask) << (k * bits);
        ImageSetPixel(image, x, y, value);
    }
}

bool SetPalette(Image* image, const uint8_t* header, const uint8_t* fileEnd) {
    const int depth = ImageBitCount(image);
    if (depth > 8) return true;
    PaletteEntry entries[256];
    if (depth == 8) {
        PaletteExpand(entries, fileEnd - kPcxPaletteSize, 256, 0);
    } else {
        PaletteExpand(entries, header + 16, 1 << depth, 0);
        // Monochrome writers often leave the header palette empty; two equal
        // entries would hide the whole picture.
        if (depth == 1 && std::memcmp(&entries[0], &entries[1], sizeof entries[0]) == 0) {
            entries[0] = {0, 0, 0, 0};
            entries[1] = {255, 255, 255, 0};
        }
    }
    return ImageSetPalette(image, entries) != 0;
}

}  // namespace

int PcxProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* head = file.take(4);
    return head && head[0] == 10 && head[2] == 1 && head[1] <= 5 && head[3] <= 8;
}

Image* PcxLoad(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* header = file.take(kPcxHeaderSize);
    if (!header) return Fail(request, kErrorInvalidData);
    const int bits = header[3];
    const int planes = header[65];
    const int width = int{GetU16(header + 8)} - GetU16(header + 4) + 1;
    const int height = int{GetU16(header + 10)} - GetU16(header + 6) + 1;
    const size_t lineLength = GetU16(header + 66);

    PcxShape shape;
    if (!ShapeOf(bits, planes, &shape)) return Fail(request, kErrorColorNotSupported);
    // Bounds whose end lies before their start, or a picture wider or higher
    // than any we hold: the header is damaged.
    if (width < 1 || height < 1 || width > kImageMaxDimension || height > kImageMaxDimension)
        return Fail(request, kErrorInvalidData);
    if (lineLength < (static_cast<size_t>(width) * static_cast<size_t>(bits) + 7) / 8)
        return Fail(request, kErrorInvalidData);
    if (shape.depth == 8 && file.size() < kPcxHeaderSize + kPcxPaletteSize) return Fail(request, kErrorInvalidData);
    // Two encoded bytes make at most 63 decoded ones: a file too short for
    // its lines is refused before its image is allocated.
    const uint64_t leastEncoded = uint64_t(height) * uint64_t(planes) * ((2 * uint64_t(lineLength) + 62) / 63);
    if (file.remaining() < leastEncoded) return Fail(request, kErrorInvalidData);

    BudgetImage made = LoadBudget(request).createImage(width, height, shape.depth);
    if (!made) return Fail(request, kErrorOutOfMemory);
    Image* image = made.get();
    HeapBytes line(static_cast<uint8_t*>(MemAlloc(lineLength * static_cast<size_t>(planes))));
    if (!line) return Fail(request, kErrorOutOfMemory);

    for (int y = 0; y < height; ++y) {
        for (int k = 0; k < planes; ++k)
            if (!DecodeLine(file, line.get() + static_cast<size_t>(k) * lineLength, lineLength))
                return Fail(request, kErrorInvalidData);
        if (shape.layout == PlaneLayout::bitPlanes) MergeBitPlanes(line.get(), lineLength, planes, bits, image, y);
        else StoreBytes(line.get(), lineLength, planes, image, y);
    }
    if (!SetPalette(image, header, file.data() + file.size())) return Fail(request, kErrorOutOfMemory);
    return made.release();
}

int PcxEncodeLine(const uint8_t* line, int length, uint8_t* out) {
    uint8_t* o = out;
    auto literal = [&o](uint8_t value) {
        if (value >= 0xC0) *o++ = 0xC1;  // would read as a packet header
        *o++ = value;
    };
    bool havePrevious = false;
    uint8_t previous = 0;
    int literals = 0;  // bytes since the last packet, not yet written
    int repeats = 0;   // further copies of `previous` after its first
    for (int i = 0; i < length; ++i) {
        const uint8_t value = line[i];
        if (havePrevious && value == previous) {
            // The last pending literal is `previous`, the start of this run.
            for (int j = i - literals; j < i - 1; ++j) literal(line[j]);
            literals = 0;
            if (++repeats == 62) {
                *o++ = 0xFF;
                *o++ = value;
                repeats = 0;
                havePrevious = false;
            }
        } else {
            if (repeats > 0) {
                *o++ = static_cast<uint8_t>(0xC0 + repeats + 1);
                *o++ = previous;
                repeats = 0;
            }
            ++literals;
            previous = value;
            havePrevious = true;
        }
    }
    if (repeats > 0) {
        *o++ = static_cast<uint8_t>(0xC0 + repeats + 1);
        *o++ = previous;
    }
    for (int j = length - literals; j < length; ++j) literal(line[j]);
    return static_cast<int>(o - out);
}

int PcxSave(Image* image, SaveRequest* request) {
    const int bits = ImageBitCount(image);
    if ((bits & 15) == 0) return Fail(request, kErrorColorNotSupported);  // 16 and 32 bits per pixel
    MemBufferPtr buffer(MemBufferCreate(ImagePackedSize(image), kMemBufferGrowStep));
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    const int width = ImageWidth(image);
    const int height = ImageHeight(image);
    const int planes = bits / 8 > 0 ? bits / 8 : 1;
    const size_t used = static_cast<size_t>(ImageRowBytes(image) / planes);  // meaningful bytes of a plane line
    const size_t lineLength = (used + 1) & ~size_t{1};                        // lines are stored in whole words
    PaletteEntry colors[256];
    if (bits <= 8) ImageColors(image, colors);

    uint8_t header[kPcxHeaderSize] = {10, 5, 1, static_cast<uint8_t>(bits <= 8 ? bits : 8)};
    PutU16(header + 8, static_cast<uint32_t>(width - 1));
    PutU16(header + 10, static_cast<uint32_t>(height - 1));
    PutU16(header + 12, static_cast<uint32_t>(width));
    PutU16(header + 14, static_cast<uint32_t>(height));
    if (bits < 8) PalettePack(colors, header + 16, 1 << bits, 0);
    header[65] = static_cast<uint8_t>(planes);
    PutU16(header + 66, static_cast<uint32_t>(lineLength));
    PutU16(header + 68, 1);
    ByteWriter out(buffer.get());
    out.write(header, sizeof header);

    HeapBytes encoded(static_cast<uint8_t*>(MemAlloc(2 * lineLength)));
    HeapBytes line(static_cast<uint8_t*>(MemAlloc(lineLength)));
    if (!encoded || !line) return Fail(request, kErrorOutOfMemory);
    for (int y = 0; y < height && out.ok(); ++y) {
        if (request->work && !request->work->spend(lineLength * static_cast<size_t>(planes)))
            return Fail(request, Status::Cancelled());
        const uint8_t* row = ImageRow(image, y);
        // Red first: the plane at the highest byte offset of each pixel.
        for (int offset = planes - 1; offset >= 0; --offset) {
            for (size_t i = 0; i < used; ++i) line[i] = row[i * static_cast<size_t>(planes) + static_cast<size_t>(offset)];
            std::memset(line.get() + used, 0, lineLength - used);
            out.write(encoded.get(), static_cast<size_t>(PcxEncodeLine(line.get(), static_cast<int>(lineLength), encoded.get())));
        }
    }
    if (bits == 8) {
        uint8_t palette[kPcxPaletteSize];
        PalettePack(colors, palette, 256, 0);
        out.u8(kPcxPaletteMarker);
        out.write(palette, sizeof palette);
    }
    if (!out.ok()) return Fail(request, kErrorWrite);
    request->output = buffer.release();
    return 1;
}

const FileFormat kPcxFormat = {kFormatPcx, PcxProbe, PcxLoad, PcxSave, "Zsoft Paintbrush", "PCX", nullptr};
