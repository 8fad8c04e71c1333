// GIF writer: the image data through the LZW encoder (gif_lzw.h), the
// blocks around it as the options choose.
#include "codecs/gif_writer.h"

#include <cstring>

#include "codecs/codec_util.h"
#include "codecs/gif_lzw.h"
#include "codecs/gif_reader.h"
#include "formats/byte_writer.h"
#include "formats/save.h"

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
bool EncodePixels(const Image* image, int codeSize, ByteWriter& out) {
    const int width = ImageWidth(image);
    HeapBytes row(static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(width))));
    LzwEncoder encoder;
    if (!row || !LzwEncodeStart(encoder, codeSize, out)) return false;
    for (int y = 0; y < ImageHeight(image) && out.ok(); ++y) {
        RowValues(image, y, row.get());
        LzwEncode(encoder, row.get(), static_cast<size_t>(width), out);
    }
    LzwEncodeFinish(encoder, out);
    return true;
}

// The parts of a GIF file that `options` selects, into a new buffer.
int Encode(const Image* image, const GifSaveOptions& options, SaveRequest* request) {
    const int depth = ImageBitCount(image);
    if (depth > 8) return SaveFail(request, nullptr, kErrorColorNotSupported);
    MemBuffer* buffer = MemBufferCreate(ImagePackedSize(image) / 2, kMemBufferGrowStep);
    if (!buffer) return SaveFail(request, nullptr, kErrorOutOfMemory);
    ByteWriter out(buffer);
    if (options.flags & kGifHeader) {
        out.write("GIF89a", 6);
        out.u16(static_cast<uint32_t>(ImageWidth(image)));
        out.u16(static_cast<uint32_t>(ImageHeight(image)));
        out.u8(static_cast<uint32_t>(((depth - 1) << 4) | (depth - 1)));  // no global table
        out.u8(0);
        out.u8(0);
    }
    if (options.flags & kGifImage) {
        const uint32_t delay = options.delay < 0xFFFF ? options.delay : 0xFFFF;  // longer plays as long as it can
        const uint8_t control[] = {0x21, 0xF9, 0x04, 0x00, uint8_t(delay), uint8_t(delay >> 8), 0x00, 0x00};
        out.write(control, sizeof control);
        out.u8(0x2C);
        out.u16(0);
        out.u16(0);
        out.u16(static_cast<uint32_t>(ImageWidth(image)));
        out.u16(static_cast<uint32_t>(ImageHeight(image)));
        out.u8(0x80u | static_cast<uint32_t>(depth - 1));  // local table, not interlaced
        PaletteEntry entries[256] = {};  // an image without a palette gets a black table
        ImageGetPalette(image, entries);
        uint8_t triples[256 * 3];
        PalettePack(entries, triples, 1 << depth, 0);
        out.write(triples, size_t{3} << depth);
        const int codeSize = depth == 1 ? 2 : depth;
        out.u8(static_cast<uint32_t>(codeSize));
        if (out.ok() && !EncodePixels(image, codeSize, out)) return SaveFail(request, buffer, kErrorOutOfMemory);
        out.u8(0);
    }
    if (options.flags & kGifTrailer) out.u8(0x3B);
    if (!out.ok()) return SaveFail(request, buffer, kErrorWrite);
    request->output = buffer;
    return 1;
}

}  // namespace

MemBuffer* GifEncode(const Image* image, const GifSaveOptions& options, ErrorCode* error) {
    SaveRequest request{kFormatGif, nullptr, nullptr, kErrorNone};
    if (!Encode(image, options, &request)) *error = request.error;
    return request.output;
}

int GifSave(Image* image, SaveRequest* request) {
    const GifSaveOptions options =
        request->options ? *static_cast<const GifSaveOptions*>(request->options) : GifSaveOptions{7, 0};
    return Encode(image, options, request);
}

namespace {

// NETSCAPE2.0 application extension, loop count 0: play for ever, as the
// viewer does.
constexpr uint8_t kLoopForever[] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E',
                                    '2',  '.',  '0',  0x03, 0x01, 0x00, 0x00, 0x00};

// One piece of the file through the registered saver, left pending for the
// stream driver to write (and to free, should the step fail after all).
template <typename Request>
int SavePiece(Stream* stream, Image* image, GifSaveOptions options, Request* request) {
    SaveRequest save{kFormatGif, &options, nullptr, kErrorNone};
    if (!FormatSave(image, &save)) return StreamFail(request, save.error);
    stream->pending = save.output;
    return 1;
}

int GifStreamOpen(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1) return StreamFail(request, kErrorUnsupportedType);
    if (!SavePiece(stream, request->image, {kGifHeader, 0}, request)) return 0;
    ByteWriter out(stream->pending);
    out.write(kLoopForever, sizeof kLoopForever);
    return out.ok() ? 1 : StreamFail(request, kErrorWrite);
}

int GifStreamWriteFrame(Stream* stream, StreamFrameRequest* request) {
    return SavePiece(stream, request->image, {kGifImage, request->delay / 10}, request);
}

int GifStreamClose(Stream* stream, StreamCloseRequest* request) {
    if (stream->abandoned) return 1;  // the file is not wanted: nothing to end
    return SavePiece(stream, request->image, {kGifTrailer, 0}, request);
}

}  // namespace

const StreamOps kGifStreamOps = {GifStreamOpen, nullptr, GifStreamWriteFrame, GifStreamClose};

const FileFormat kGifFormat = {
    kFormatGif, GifProbe, GifLoad, GifSave, "Graphics Interchange Format", "GIF", &kGifStreamOps,
};
