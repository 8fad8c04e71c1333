// PNG: the signature, chunks (length, type, data, CRC), IHDR first, the
// pixel rows filtered and deflated across the IDAT chunks, IEND last.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/png_test.cpp):
// - Image data cut short (a download that stopped, a missing IEND) or an
//   IDAT whose CRC is wrong: the rows decoded until then are kept, the rest
//   stay black (transparent in 32-bit pictures), as browsers show them; as
//   BMP's run-length pictures do. No row at all: "Invalid data".
//   CutOrDamagedDataKeepsTheRowsDecoded
// - Ancillary chunks whose CRC is wrong: ignored; a critical chunk before
//   the image data (IHDR, PLTE) with a wrong CRC: "Invalid data".
//   ChunkCrcsAreChecked
// - Chunks after IEND, or deflated data after the last row: ignored.
//   TrailingDataIsIgnored
// - Palette indices past the PLTE entries: black, as libpng shows them.
//
// The inflated data is read a row at a time, and no more of it than the
// header's rows need, so a zlib bomb ends at the picture's size; the picture
// is refused before it is allocated when it would not fit the load budget.
#include "codecs/png.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"
#include "image/convert.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// Compressed output is gathered up to this size into one IDAT or fdAT chunk.
constexpr size_t kChunkData = size_t{1} << 18;

// Saved files grow their buffer a megabyte at a time rather than in many small steps.
constexpr int32_t kPngGrowStep = 1 << 20;

uint32_t GetU32Be(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

uint32_t ChunkType(const char* t) { return GetU32Be(reinterpret_cast<const uint8_t*>(t)); }

struct Chunk {
    uint32_t type = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    bool crcOk = false;
    bool cut = false;  // the file ends inside it
    // Image data may be used: whole and checked, or the last of a file cut short.
    bool usableData() const { return crcOk || cut; }
};

// The next chunk; false at the end of the file or when it is cut short.
bool NextChunk(ByteReader& in, Chunk& chunk) {
    const uint8_t* head = in.take(8);
    if (!head) return false;
    chunk.size = GetU32Be(head);
    chunk.type = GetU32Be(head + 4);
    if (chunk.size > 0x7FFFFFFFu) return false;
    chunk.cut = in.remaining() < uint64_t{chunk.size} + 4;
    if (chunk.cut) {  // what is there, unchecked: the file ends inside the chunk
        chunk.size = static_cast<uint32_t>(std::min<size_t>(in.remaining(), chunk.size));
        chunk.data = in.take(chunk.size);
        chunk.crcOk = false;
        in.skip(in.remaining());
        return true;
    }
    chunk.data = in.take(chunk.size);
    const uint8_t* crc = in.take(4);
    if (!chunk.data || !crc) return false;
    uLong sum = crc32(0, head + 4, 4);
    // zlib counts in uInt: a chunk of up to 2 GiB fits.
    sum = crc32(sum, chunk.data, static_cast<uInt>(chunk.size));
    chunk.crcOk = sum == GetU32Be(crc);
    return true;
}

struct Header {
    uint32_t width = 0, height = 0;
    int depth = 0, type = 0, interlace = 0;
    int channels() const { return type == kPngRgb ? 3 : type == kPngGrayAlpha ? 2 : type == kPngRgba ? 4 : 1; }
    int bitsPerPixel() const { return channels() * depth; }
    int filterBytes() const { return std::max(1, bitsPerPixel() / 8); }  // the "bpp" of the filters
    uint64_t rowBytes(uint64_t pixels) const { return (pixels * uint64_t(bitsPerPixel()) + 7) / 8; }
};

bool ValidDepth(int type, int depth) {
    switch (type) {
        case kPngGray: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case kPngPalette: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case kPngRgb:
        case kPngGrayAlpha:
        case kPngRgba: return depth == 8 || depth == 16;
        default: return false;
    }
}

bool ParseHeader(const Chunk& c, Header& h) {
    if (c.type != ChunkType("IHDR") || c.size != 13 || !c.crcOk) return false;
    h.width = GetU32Be(c.data);
    h.height = GetU32Be(c.data + 4);
    h.depth = c.data[8];
    h.type = c.data[9];
    h.interlace = c.data[12];
    return h.width > 0 && h.height > 0 && ValidDepth(h.type, h.depth) && c.data[10] == 0 && c.data[11] == 0 &&
           h.interlace <= 1;
}

// What the chunks before the image data say about its colours.
struct Colors {
    PaletteEntry palette[256] = {};
    uint8_t alpha[256];  // of the palette entries, from tRNS
    bool keyed = false;  // grey or RGB: one colour, in samples, is transparent
    uint16_t key[3] = {};
    bool transparent = false;  // some pixel may be less than opaque
    Colors() { std::memset(alpha, 255, sizeof alpha); }
};

void ReadPalette(const Chunk& c, Colors& colors) {
    const int count = static_cast<int>(std::min<uint32_t>(c.size / 3, 256));
    PaletteExpand(colors.palette, c.data, count, 0);
}

void ReadTransparency(const Chunk& c, const Header& h, Colors& colors) {
    if (h.type == kPngPalette) {
        for (uint32_t i = 0; i < std::min<uint32_t>(c.size, 256); ++i) {
            colors.alpha[i] = c.data[i];
            if (c.data[i] != 255) colors.transparent = true;
        }
    } else if (h.type == kPngGray && c.size >= 2) {
        colors.keyed = colors.transparent = true;
        colors.key[0] = static_cast<uint16_t>(c.data[0] << 8 | c.data[1]);
    } else if (h.type == kPngRgb && c.size >= 6) {
        colors.keyed = colors.transparent = true;
        for (int i = 0; i < 3; ++i) colors.key[i] = static_cast<uint16_t>(c.data[2 * i] << 8 | c.data[2 * i + 1]);
    }
}

int OutputDepth(const Header& h, const Colors& colors) {
    if (h.type == kPngGrayAlpha || h.type == kPngRgba || colors.transparent) return 32;
    return h.type == kPngRgb ? 24 : 8;
}

// The sample `i` of a row of samples `depth` bits wide, unscaled.
uint32_t Sample(const uint8_t* row, uint64_t i, int depth) {
    if (depth == 8) return row[i];
    if (depth == 16) return uint32_t{row[2 * i]} << 8 | row[2 * i + 1];
    const uint64_t bit = i * uint64_t(depth);
    return (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
}

uint8_t To8(uint32_t sample, int depth) { return depth == 16 ? uint8_t(sample >> 8) : uint8_t(ChannelTo8(sample, depth)); }

// Turns one unfiltered row of `count` pixels into the output's pixels, packed
// (1, 3 or 4 bytes each, blue first).
void ExpandRow(const Header& h, const Colors& colors, int outDepth, const uint8_t* raw, uint32_t count, uint8_t* out) {
    const int channels = h.channels();
    const int d = h.depth;
    for (uint32_t x = 0; x < count; ++x) {
        const uint64_t s = uint64_t(x) * uint64_t(channels);
        uint8_t r, g, b, a = 255;
        if (h.type == kPngPalette) {
            const uint32_t v = Sample(raw, s, d);
            if (outDepth == 8) {
                out[x] = static_cast<uint8_t>(v);
                continue;
            }
            r = colors.palette[v].red, g = colors.palette[v].green, b = colors.palette[v].blue, a = colors.alpha[v];
        } else if (h.type == kPngGray || h.type == kPngGrayAlpha) {
            const uint32_t v = Sample(raw, s, d);
            r = g = b = To8(v, d);
            if (outDepth == 8) {
                out[x] = r;
                continue;
            }
            if (h.type == kPngGrayAlpha) a = To8(Sample(raw, s + 1, d), d);
            else if (colors.keyed && v == colors.key[0]) a = 0;
        } else {
            const uint32_t vr = Sample(raw, s, d), vg = Sample(raw, s + 1, d), vb = Sample(raw, s + 2, d);
            r = To8(vr, d), g = To8(vg, d), b = To8(vb, d);
            if (h.type == kPngRgba) a = To8(Sample(raw, s + 3, d), d);
            else if (colors.keyed && vr == colors.key[0] && vg == colors.key[1] && vb == colors.key[2]) a = 0;
        }
        uint8_t* p = out + size_t(x) * size_t(outDepth / 8);
        p[0] = b, p[1] = g, p[2] = r;
        if (outDepth == 32) p[3] = a;
    }
}

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Undoes the row's filter in place; `prior` is the row above, unfiltered
// (zeros for the first row of a pass). False for an unknown filter.
bool Unfilter(int filter, uint8_t* row, const uint8_t* prior, size_t bytes, size_t bpp) {
    switch (filter) {
        case 0: return true;
        case 1:
            for (size_t i = bpp; i < bytes; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
            return true;
        case 2:
            for (size_t i = 0; i < bytes; ++i) row[i] = uint8_t(row[i] + prior[i]);
            return true;
        case 3:
            for (size_t i = 0; i < bytes; ++i) row[i] = uint8_t(row[i] + (((i >= bpp ? row[i - bpp] : 0) + prior[i]) >> 1));
            return true;
        case 4:
            for (size_t i = 0; i < bytes; ++i)
                row[i] = uint8_t(row[i] + Paeth(i >= bpp ? row[i - bpp] : 0, prior[i], i >= bpp ? prior[i - bpp] : 0));
            return true;
        default: return false;
    }
}

// Inflates the image data across the IDAT chunks, as much as is asked for.
class DataStream {
public:
    DataStream(ByteReader& file, const Chunk& first, WorkMeter& work) : file_(file), work_(work) {
        std::memset(&z_, 0, sizeof z_);
        ready_ = inflateInit(&z_) == Z_OK;
        feed(first);
    }
    ~DataStream() {
        if (ready_) inflateEnd(&z_);
    }

    // Fills `out` with the next `size` bytes; false when the data ends first.
    bool read(uint8_t* out, size_t size) {
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(size);
        while (ready_ && z_.avail_out > 0) {
            if (z_.avail_in == 0 && !nextChunk()) return false;
            const uInt before = z_.avail_in + z_.avail_out;
            const int status = inflate(&z_, Z_NO_FLUSH);
            if (!work_.spend(1 + before - (z_.avail_in + z_.avail_out))) return false;
            if (status == Z_STREAM_END) return z_.avail_out == 0;
            if (status != Z_OK && status != Z_BUF_ERROR) return false;
        }
        return ready_;
    }

private:
    void feed(const Chunk& c) {
        z_.next_in = const_cast<Bytef*>(c.data);
        z_.avail_in = c.size;
    }
    // The next IDAT of the run; a chunk of another kind, a wrong CRC or the
    // end of the file ends the data.
    bool nextChunk() {
        Chunk c;
        if (ended_ || !NextChunk(file_, c) || c.type != ChunkType("IDAT") || !c.usableData()) {
            ended_ = true;
            return false;
        }
        feed(c);
        return true;
    }

    ByteReader& file_;
    WorkMeter& work_;
    z_stream z_;
    bool ready_ = false;
    bool ended_ = false;
};

// One pass of the picture: every pixel for a plain file, one of Adam7's
// seven for an interlaced one.
struct Pass {
    uint32_t x0, y0, dx, dy;
    uint32_t width(uint32_t w) const { return w > x0 ? (w - x0 + dx - 1) / dx : 0; }
    uint32_t height(uint32_t h) const { return h > y0 ? (h - y0 + dy - 1) / dy : 0; }
};
constexpr Pass kWhole[] = {{0, 0, 1, 1}};
constexpr Pass kAdam7[] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

// Decodes the passes into the image; false when the data ends or is damaged
// before the last row, with `rows` the rows (of every pass) done before.
bool DecodePasses(DataStream& data, const Header& h, const Colors& colors, Image* image, WorkMeter& work, uint64_t& rows) {
    const int outBytes = ImageBitCount(image) / 8;
    const size_t rowMax = static_cast<size_t>(h.rowBytes(h.width));
    std::vector<uint8_t> line(rowMax + 1), prior(rowMax), pixels(size_t(h.width) * size_t(outBytes));
    const bool interlaced = h.interlace == 1;
    for (const Pass& pass : interlaced ? std::span<const Pass>(kAdam7) : std::span<const Pass>(kWhole)) {
        const uint32_t w = pass.width(h.width), ht = pass.height(h.height);
        if (w == 0 || ht == 0) continue;
        const size_t bytes = static_cast<size_t>(h.rowBytes(w));
        std::fill(prior.begin(), prior.end(), 0);
        for (uint32_t y = 0; y < ht; ++y) {
            if (!data.read(line.data(), bytes + 1)) return false;
            if (!Unfilter(line[0], line.data() + 1, prior.data(), bytes, static_cast<size_t>(h.filterBytes()))) return false;
            if (!work.spend(w)) return false;
            ExpandRow(h, colors, ImageBitCount(image), line.data() + 1, w, pixels.data());
            uint8_t* to = ImageRow(image, static_cast<int>(pass.y0 + y * pass.dy));
            if (pass.dx == 1) {
                std::memcpy(to, pixels.data(), size_t(w) * size_t(outBytes));
            } else {
                for (uint32_t x = 0; x < w; ++x)
                    std::memcpy(to + size_t(pass.x0 + x * pass.dx) * size_t(outBytes), pixels.data() + size_t(x) * size_t(outBytes),
                                size_t(outBytes));
            }
            std::memcpy(prior.data(), line.data() + 1, bytes);
            ++rows;
        }
    }
    return true;
}

void SetPalette(Image* image, const Header& h, const Colors& colors) {
    PaletteEntry entries[256] = {};
    if (h.type == kPngPalette) std::memcpy(entries, colors.palette, sizeof entries);
    else
        for (int i = 0; i < 256; ++i) entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    ImageSetPalette(image, entries);
}

}  // namespace

int PngProbe(const LoadRequest* request) {
    return request->size >= sizeof kSignature && std::memcmp(request->data, kSignature, sizeof kSignature) == 0;
}

Image* PngLoad(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    if (!file.skip(sizeof kSignature)) return Fail(request, kErrorInvalidData);
    Chunk chunk;
    Header h;
    if (!NextChunk(file, chunk) || !ParseHeader(chunk, h)) return Fail(request, kErrorInvalidData);
    if (h.width > uint32_t(kImageMaxDimension) || h.height > uint32_t(kImageMaxDimension))
        return Fail(request, kErrorOutOfMemory);

    Colors colors;
    for (;;) {
        if (!NextChunk(file, chunk)) return Fail(request, kErrorInvalidData);
        const bool critical = (chunk.type & 0x20000000u) == 0;
        if (chunk.type == ChunkType("IDAT")) break;
        if (chunk.type == ChunkType("IEND") || chunk.cut) return Fail(request, kErrorInvalidData);
        if (!chunk.crcOk) {
            if (critical) return Fail(request, kErrorInvalidData);
            continue;
        }
        if (chunk.type == ChunkType("PLTE")) ReadPalette(chunk, colors);
        else if (chunk.type == ChunkType("tRNS")) ReadTransparency(chunk, h, colors);
    }
    if (!chunk.usableData()) return Fail(request, kErrorInvalidData);

    const int depth = OutputDepth(h, colors);
    BudgetImage made = LoadBudget(request).createImage(static_cast<int>(h.width), static_cast<int>(h.height), depth);
    if (!made) return Fail(request, kErrorOutOfMemory);
    Image* image = made.get();
    if (depth == 8) SetPalette(image, h, colors);
    request->work.earn(uint64_t(h.width) * uint64_t(h.height));

    DataStream data(file, chunk, request->work);
    uint64_t rows = 0;
    if (!DecodePasses(data, h, colors, image, request->work, rows) && rows == 0)
        return Fail(request, kErrorInvalidData);
    return made.release();
}

// ---- Writing ------------------------------------------------------------------

bool PngCarriesAlpha(const Image* image) {
    if (ImageBitCount(image) != 32) return false;
    bool zero = true, opaque = true;
    for (int y = 0; y < ImageHeight(image) && (zero || opaque); ++y) {
        const uint8_t* row = ImageRow(image, y);
        for (int x = 0; x < ImageWidth(image); ++x) {
            zero = zero && row[4 * x + 3] == 0;
            opaque = opaque && row[4 * x + 3] == 255;
        }
    }
    return !zero && !opaque;
}

void PngWriteSignature(ByteWriter& out) { out.write(kSignature, sizeof kSignature); }

void PngWriteChunk(ByteWriter& out, const char* type, const uint8_t* data, size_t size) {
    uint8_t head[8];
    PutU32Be(head, static_cast<uint32_t>(size));
    std::memcpy(head + 4, type, 4);
    out.write(head, 8);
    if (size) out.write(data, size);
    uLong sum = crc32(0, head + 4, 4);
    if (size) sum = crc32(sum, data, static_cast<uInt>(size));
    uint8_t crc[4];
    PutU32Be(crc, static_cast<uint32_t>(sum));
    out.write(crc, 4);
}

void PngWriteHeader(ByteWriter& out, int width, int height, int depth, PngColorType type) {
    uint8_t h[13] = {};
    PutU32Be(h, static_cast<uint32_t>(width));
    PutU32Be(h + 4, static_cast<uint32_t>(height));
    h[8] = static_cast<uint8_t>(depth);
    h[9] = type;
    PngWriteChunk(out, "IHDR", h, sizeof h);
}

struct PngRowEncoder::State {
    z_stream z;
    bool started = false;
    std::vector<uint8_t> prior, filtered, trial, chunk;
};

PngRowEncoder::PngRowEncoder(ByteWriter& out, size_t rowBytes, int pixelBytes, PngFilters filters, uint32_t* sequence,
                             int level)
    : state_(std::make_unique<State>()), out_(out), rowBytes_(rowBytes), pixelBytes_(pixelBytes), filters_(filters),
      sequence_(sequence) {
    state_->prior.assign(rowBytes + 1, 0);
    state_->filtered.resize(rowBytes + 1);
    state_->trial.resize(rowBytes + 1);
    state_->chunk.reserve(kChunkData + 4);
    std::memset(&state_->z, 0, sizeof state_->z);
    ok_ = deflateInit2(&state_->z, level, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
    state_->started = ok_;
}

PngRowEncoder::~PngRowEncoder() {
    if (state_->started) deflateEnd(&state_->z);
}

namespace {

// Filters `raw` with `filter` into out (the filter byte first).
void FilterRow(int filter, const uint8_t* raw, const uint8_t* prior, size_t bytes, size_t bpp, uint8_t* out) {
    out[0] = static_cast<uint8_t>(filter);
    uint8_t* o = out + 1;
    for (size_t i = 0; i < bytes; ++i) {
        const int a = i >= bpp ? raw[i - bpp] : 0, b = prior[i], c = i >= bpp ? prior[i - bpp] : 0;
        const int predicted = filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) >> 1 : filter == 4 ? Paeth(a, b, c) : 0;
        o[i] = static_cast<uint8_t>(raw[i] - predicted);
    }
}

uint64_t SumOfMagnitudes(const uint8_t* row, size_t bytes) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) sum += row[i] < 128 ? row[i] : 256 - row[i];
    return sum;
}

}  // namespace

bool PngRowEncoder::row(const uint8_t* raw) {
    if (!ok_) return false;
    State& s = *state_;
    const size_t bpp = static_cast<size_t>(pixelBytes_);
    if (filters_ == PngFilters::kNone) {
        FilterRow(0, raw, s.prior.data(), rowBytes_, bpp, s.filtered.data());
    } else {
        uint64_t best = UINT64_MAX;
        for (int f = 0; f <= 4; ++f) {
            FilterRow(f, raw, s.prior.data(), rowBytes_, bpp, s.trial.data());
            const uint64_t sum = SumOfMagnitudes(s.trial.data() + 1, rowBytes_);
            if (sum < best) {
                best = sum;
                s.filtered.swap(s.trial);
            }
        }
        std::memcpy(s.prior.data(), raw, rowBytes_);
    }
    return deflateSome(s.filtered.data(), rowBytes_ + 1, false);
}

bool PngRowEncoder::finish() { return ok_ && deflateSome(nullptr, 0, true) && (flushChunk(), out_.ok()); }

bool PngRowEncoder::deflateSome(const uint8_t* data, size_t size, bool last) {
    State& s = *state_;
    s.z.next_in = const_cast<Bytef*>(data);
    s.z.avail_in = static_cast<uInt>(size);
    uint8_t buffer[1 << 14];
    for (;;) {
        s.z.next_out = buffer;
        s.z.avail_out = sizeof buffer;
        const int status = deflate(&s.z, last ? Z_FINISH : Z_NO_FLUSH);
        if (status == Z_STREAM_ERROR) return ok_ = false;
        const size_t made = sizeof buffer - s.z.avail_out;
        for (size_t done = 0; done < made;) {
            const size_t n = std::min(made - done, kChunkData - s.chunk.size());
            s.chunk.insert(s.chunk.end(), buffer + done, buffer + done + n);
            done += n;
            if (s.chunk.size() == kChunkData) flushChunk();
        }
        if (last ? status == Z_STREAM_END : s.z.avail_in == 0 && s.z.avail_out != 0) break;
    }
    return ok_ = out_.ok();
}

void PngRowEncoder::flushChunk() {
    State& s = *state_;
    if (s.chunk.empty()) return;
    if (!sequence_) {
        PngWriteChunk(out_, "IDAT", s.chunk.data(), s.chunk.size());
    } else {
        std::vector<uint8_t> data(s.chunk.size() + 4);
        PutU32Be(data.data(), (*sequence_)++);
        std::memcpy(data.data() + 4, s.chunk.data(), s.chunk.size());
        PngWriteChunk(out_, "fdAT", data.data(), data.size());
    }
    s.chunk.clear();
}

namespace {

// How an image is written.
struct Layout {
    PngColorType type;
    int depth;  // bits per sample
    // Images of 8 bits or fewer: each pixel value's sample (a palette index or
    // a grey level), and the palette written.
    uint8_t samples[256] = {};
    PaletteEntry palette[256] = {};
    int paletteSize = 0;
};

int BitsFor(int values) { return values <= 2 ? 1 : values <= 4 ? 2 : values <= 16 ? 4 : 8; }

// Images of 8 bits or fewer: the colours their pixels use, each once, as a
// palette of the fewest bits; or grey levels where every colour is a grey
// that a depth of samples holds exactly (what optimisers make of them).
void IndexedLayout(const Image* image, Layout& layout) {
    bool used[256] = {};
    for (int y = 0; y < ImageHeight(image); ++y)
        for (int x = 0; x < ImageWidth(image); ++x) used[ImageGetPixel(image, x, y) & 0xFF] = true;
    PaletteEntry colors[256];
    ImageColors(image, colors);
    const int count = 1 << ImageBitCount(image);
    bool gray = true;
    for (int v = 0; v < count; ++v)
        if (used[v]) gray = gray && colors[v].red == colors[v].green && colors[v].green == colors[v].blue;
    for (int depth = 1; gray && depth <= 8; depth *= 2) {
        const int step = 255 / ((1 << depth) - 1);
        bool fits = true;
        for (int v = 0; v < count && fits; ++v) fits = !used[v] || colors[v].red % step == 0;
        if (!fits) continue;
        layout.type = kPngGray;
        layout.depth = depth;
        for (int v = 0; v < count; ++v) layout.samples[v] = static_cast<uint8_t>(colors[v].red / step);
        return;
    }
    layout.type = kPngPalette;
    for (int v = 0; v < count; ++v) {
        if (!used[v]) continue;
        int entry = 0;
        while (entry < layout.paletteSize && std::memcmp(&layout.palette[entry], &colors[v], 3) != 0) ++entry;
        if (entry == layout.paletteSize) layout.palette[layout.paletteSize++] = colors[v];
        layout.samples[v] = static_cast<uint8_t>(entry);
    }
    layout.depth = BitsFor(layout.paletteSize);
}

// The PNG row of picture row y: samples packed from the top bits, colours red first.
void PackRow(const Image* image, int y, const Layout& layout, uint8_t* out) {
    const int width = ImageWidth(image);
    if (ImageBitCount(image) <= 8) {
        std::memset(out, 0, (size_t(width) * size_t(layout.depth) + 7) / 8);
        for (int x = 0; x < width; ++x) {
            const uint32_t v = layout.samples[ImageGetPixel(image, x, y) & 0xFF];
            const size_t bit = size_t(x) * size_t(layout.depth);
            out[bit / 8] |= static_cast<uint8_t>(v << (8 - layout.depth - bit % 8));
        }
        return;
    }
    const uint8_t* row = ImageRow(image, y);
    const int bytes = ImageBitCount(image) / 8, channels = layout.type == kPngRgba ? 4 : 3;
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = row + size_t(x) * size_t(bytes);
        uint8_t* o = out + size_t(x) * size_t(channels);
        o[0] = p[2], o[1] = p[1], o[2] = p[0];
        if (channels == 4) o[3] = p[3];
    }
}

bool EncodeImage(const Image* image, const Layout& layout, PngFilters filters, MemBuffer* buffer) {
    ByteWriter out(buffer);
    PngWriteSignature(out);
    PngWriteHeader(out, ImageWidth(image), ImageHeight(image), layout.depth, layout.type);
    if (layout.type == kPngPalette) {
        uint8_t triples[768];
        PalettePack(layout.palette, triples, layout.paletteSize, 0);
        PngWriteChunk(out, "PLTE", triples, size_t(layout.paletteSize) * 3);
    }
    const int channels = layout.type == kPngRgba ? 4 : layout.type == kPngRgb ? 3 : 1;
    const size_t rowBytes = (size_t(ImageWidth(image)) * size_t(channels * layout.depth) + 7) / 8;
    std::vector<uint8_t> raw(rowBytes);
    PngRowEncoder rows(out, rowBytes, std::max(1, channels * layout.depth / 8), filters, nullptr);
    for (int y = 0; y < ImageHeight(image) && rows.ok(); ++y) {
        PackRow(image, y, layout, raw.data());
        rows.row(raw.data());
    }
    if (!rows.finish()) return false;
    PngWriteChunk(out, "IEND", nullptr, 0);
    return out.ok();
}

}  // namespace

int PngSave(Image* image, SaveRequest* request) {
    const int bits = ImageBitCount(image);
    ImagePtr wide(bits == 16 ? ImageConvert(image, 24) : nullptr);
    if (bits == 16 && !wide) return Fail(request, kErrorOutOfMemory);
    const Image* source = wide ? wide.get() : image;
    Layout layout{kPngRgb, 8};
    if (bits <= 8) {
        IndexedLayout(image, layout);
    } else if (bits == 32 && PngCarriesAlpha(image)) {
        layout.type = kPngRgba;
    } else if (bits == 32) {
        wide.reset(ImageConvert(image, 24));
        if (!wide) return Fail(request, kErrorOutOfMemory);
        source = wide.get();
    } else if (bits != 24 && bits != 16) {
        return Fail(request, kErrorColorNotSupported);
    }
    // Pictures of 8-bit samples are tried unfiltered and filtered row by row,
    // and the smaller kept: which wins depends on the picture. Narrower
    // samples are left unfiltered, true colour filtered.
    const bool indexed = bits <= 8;
    MemBufferPtr buffer(MemBufferCreate(kMemBufferGrowStep, kPngGrowStep));
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    if (!EncodeImage(source, layout, indexed ? PngFilters::kNone : PngFilters::kAdaptive, buffer.get()))
        return Fail(request, kErrorWrite);
    if (indexed && layout.depth == 8) {
        MemBufferPtr other(MemBufferCreate(kMemBufferGrowStep, kPngGrowStep));
        if (other && EncodeImage(source, layout, PngFilters::kAdaptive, other.get()) && other->size < buffer->size)
            std::swap(buffer, other);
    }
    request->output = buffer.release();
    return 1;
}

const FileFormat kPngFormat = {kFormatPng, PngProbe, PngLoad, PngSave, "Portable Network Graphics", "PNG", nullptr};
