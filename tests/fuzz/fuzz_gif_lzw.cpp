// Any bytes as the image data of a GIF block (a minimum code size byte, then
// data sub-blocks) through the LZW decoder; and the same bytes as pixel
// values through the encoder and back, which must give them back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/gif_lzw.h"

namespace {

// Every string the data decodes to, up to `limit` pixels, and how the data
// ended. Traps when a code comes back that the table does not hold, a string
// that disagrees with it, or data that ran out and then gives more.
std::vector<uint8_t> Decode(const uint8_t* data, size_t size, size_t limit, LzwResult* end = nullptr) {
    static LzwTable table;
    std::vector<uint8_t> pixels;
    ByteReader in(data, size);
    LzwDecoder decoder;
    if (!LzwDecodeStart(decoder, table, in.u8())) return pixels;
    LzwCodeReader codes(in);
    int code = -1;
    LzwResult result = LzwResult::kOk;
    while (pixels.size() < limit && (result = LzwDecodeNext(decoder, codes, code)) == LzwResult::kOk) {
        const int length = table.length[code];
        if (code >= decoder.next || length < 1 || length > kLzwMaxCodes) __builtin_trap();
        const size_t at = pixels.size();
        pixels.resize(at + static_cast<size_t>(length));
        LzwString(table, code, pixels.data() + at);
        if (pixels[at] != table.first[code]) __builtin_trap();
    }
    if (result == LzwResult::kNoData && LzwDecodeNext(decoder, codes, code) != LzwResult::kNoData) __builtin_trap();
    if (end) *end = result;
    return pixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Decode(data, size, size_t{1} << 20);
    if (size < 2) return 0;

    // The first byte: the depth (its low 3 bits + 1) and how many pixels go
    // to the encoder at a time (the rest), so that strings run across calls.
    const int depth = (data[0] & 7) + 1;
    const size_t step = (data[0] >> 3) + 1u;
    std::vector<uint8_t> pixels(data + 1, data + size);
    for (uint8_t& p : pixels) p &= static_cast<uint8_t>((1u << depth) - 1);
    const int codeSize = depth < 2 ? 2 : depth;

    MemBuffer* buffer = MemBufferCreate(kMemBufferGrowStep, kMemBufferGrowStep);
    if (!buffer) return 0;
    ByteWriter out(buffer);
    out.u8(static_cast<uint32_t>(codeSize));
    LzwEncoder encoder;
    if (LzwEncodeStart(encoder, codeSize, out)) {
        for (size_t at = 0; at < pixels.size(); at += step)
            LzwEncode(encoder, pixels.data() + at, pixels.size() - at < step ? pixels.size() - at : step, out);
        LzwEncodeFinish(encoder, out);
        out.u8(0);
        // The data gives the pixels back and ends with its end code.
        LzwResult end = LzwResult::kOk;
        if (!out.ok() || Decode(buffer->data, static_cast<size_t>(buffer->size), pixels.size() + 1, &end) != pixels ||
            end != LzwResult::kEndCode)
            std::abort();
    }
    MemBufferFree(buffer);
    return 0;
}
