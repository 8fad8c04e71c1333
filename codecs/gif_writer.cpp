// GIF writer: the image data through the LZW encoder (gif_lzw.h), the
// blocks around it as the options choose.
#include "codecs/gif_writer.h"

#include <algorithm>
#include <cstring>

#include "codecs/codec_util.h"
#include "codecs/gif_lzw.h"
#include "formats/byte_writer.h"
#include "formats/save.h"
#include "image/quantize.h"

namespace {

// The pixels of one row as byte values, whatever the depth.
void RowValues(const Image* image, int y, uint8_t* out) {
    const int width = ImageWidth(image);
    const int depth = ImageBitCount(image);
    const uint8_t* row = ImageRow(image, y);
    if (depth == 8) {
        std::memcpy(out, row, static_cast<size_t>(width));
        return;
    }
    const uint32_t mask = (1u << depth) - 1;
    for (int x = 0; x < width; ++x) {
        const int bit = x * depth;
        out[x] = static_cast<uint8_t>((row[bit >> 3] >> (8 - depth - (bit & 7))) & mask);
    }
}

// LZW of every pixel, rows from the top, as data sub-blocks (without the
// block terminator). False only when memory runs out; a failed write shows
// in `out`.
bool EncodePixels(const Image* image, int codeSize, ByteWriter& out, WorkMeter* work) {
    const int width = ImageWidth(image);
    HeapBytes row(static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(width))));
    LzwEncoder encoder;
    if (!row || !LzwEncodeStart(encoder, codeSize, out)) return false;
    for (int y = 0; y < ImageHeight(image) && out.ok(); ++y) {
        if (work && !work->spend(uint64_t(width))) return false;
        RowValues(image, y, row.get());
        LzwEncode(encoder, row.get(), static_cast<size_t>(width), out);
    }
    LzwEncodeFinish(encoder, out);
    return true;
}

// The parts of a GIF file that `options` selects, into a new buffer; the
// image has 8 bits per pixel or fewer, its colour table `bits` wide.
int EncodeIndexed(const Image* image, int bits, const GifSaveOptions& options, SaveRequest* request) {
    MemBufferPtr buffer(MemBufferCreate(ImagePackedSize(image) / 2, kMemBufferGrowStep));
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    ByteWriter out(buffer.get());
    if (options.flags & kGifHeader) {
        out.write("GIF89a", 6);
        out.u16(static_cast<uint32_t>(ImageWidth(image)));
        out.u16(static_cast<uint32_t>(ImageHeight(image)));
        out.u8(static_cast<uint32_t>(((bits - 1) << 4) | (bits - 1)));  // no global table
        out.u8(0);
        out.u8(0);
    }
    if (options.flags & kGifImage) {
        PaletteEntry entries[256] = {};  // an image without a palette gets a black table
        ImageGetPalette(image, entries);
        GifWriteImageHead(out, {0, 0, ImageWidth(image), ImageHeight(image), entries, bits, 1 << bits, -1, 0,
                                options.delay});
        const int codeSize = bits == 1 ? 2 : bits;
        out.u8(static_cast<uint32_t>(codeSize));
        if (out.ok() && !EncodePixels(image, codeSize, out, request->work)) return Fail(request, kErrorOutOfMemory);
        out.u8(0);
    }
    if (options.flags & kGifTrailer) out.u8(0x3B);
    if (!out.ok()) return Fail(request, kErrorWrite);
    request->output = buffer.release();
    return 1;
}

// As EncodeIndexed for any depth: deeper images through their colours
// reduced to a table of 256 or fewer, as small as holds them.
int Encode(const Image* image, const GifSaveOptions& options, SaveRequest* request) {
    const int depth = ImageBitCount(image);
    if (depth <= 8) return EncodeIndexed(image, depth, options, request);
    int count = 0;
    Image* reduced = (options.flags & (kGifHeader | kGifImage))
                         ? ImageReduceColors(image, options.dither, &count, request->work)
                         : nullptr;
    if (!reduced && (options.flags & (kGifHeader | kGifImage))) return Fail(request, kErrorOutOfMemory);
    const int result = EncodeIndexed(reduced ? reduced : image, GifBitsFor(count), options, request);
    ImageDestroy(reduced);
    return result;
}

}  // namespace

int GifBitsFor(int count) {
    int bits = 1;
    while (bits < 8 && (1 << bits) < count) ++bits;
    return bits;
}

uint32_t GifDelayHundredths(uint32_t milliseconds) {
    if (milliseconds == 0) return 0;
    const uint64_t hundredths = (uint64_t{milliseconds} + 5) / 10;
    return static_cast<uint32_t>(std::clamp<uint64_t>(hundredths, 2, 0xFFFF));
}

void GifWriteColorTable(ByteWriter& out, const PaletteEntry* entries, int count, int bits) {
    uint8_t triples[256 * 3] = {};
    PalettePack(entries, triples, std::min(count, 1 << bits), 0);
    out.write(triples, size_t{3} << bits);
}

void GifWriteImageHead(ByteWriter& out, const GifImageHead& head) {
    const uint32_t delay = head.delay < 0xFFFF ? head.delay : 0xFFFF;  // longer plays as long as it can
    const uint32_t transparent = head.transparent >= 0 ? 1 : 0;
    const uint8_t control[] = {0x21, 0xF9, 0x04, uint8_t(head.disposal << 2 | transparent), uint8_t(delay),
                               uint8_t(delay >> 8), uint8_t(transparent ? head.transparent : 0), 0x00};
    out.write(control, sizeof control);
    out.u8(0x2C);
    out.u16(static_cast<uint32_t>(head.left));
    out.u16(static_cast<uint32_t>(head.top));
    out.u16(static_cast<uint32_t>(head.width));
    out.u16(static_cast<uint32_t>(head.height));
    if (!head.table) {
        out.u8(0);  // the global table, not interlaced
        return;
    }
    out.u8(0x80u | static_cast<uint32_t>(head.tableBits - 1));  // local table, not interlaced
    GifWriteColorTable(out, head.table, head.tableCount, head.tableBits);
}

MemBuffer* GifEncode(const Image* image, const GifSaveOptions& options, Status* error) {
    SaveRequest request{kFormatGif, nullptr, nullptr, kErrorNone};
    if (!Encode(image, options, &request)) *error = request.error;
    return request.output;
}

int GifSave(Image* image, SaveRequest* request) {
    const GifSaveOptions options =
        request->options ? *static_cast<const GifSaveOptions*>(request->options) : GifSaveOptions{7, 0, 0};
    return Encode(image, options, request);
}
