#include "codecs/apng.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codecs/codec_util.h"
#include "codecs/png.h"
#include "image/convert.h"

namespace {

constexpr uint8_t kDisposeNone = 0, kDisposePrevious = 2;
constexpr uint8_t kBlendSource = 0, kBlendOver = 1;

// The 256 colours (0xAARRGGBB, opaque) of a frame of 8 bits or fewer.
void FrameTable(const Image* frame, uint32_t* out) {
    PaletteEntry entries[256] = {};
    ImageColors(frame, entries);
    const int count = 1 << ImageBitCount(frame);
    for (int i = 0; i < 256; ++i)
        out[i] = i < count ? 0xFF000000u | uint32_t{entries[i].red} << 16 | uint32_t{entries[i].green} << 8 | entries[i].blue
                           : 0xFF000000u;
}

// Row y of a frame of 8 bits or fewer as one index a pixel.
void IndexRow(const Image* frame, int y, uint8_t* out) {
    const int width = ImageWidth(frame);
    if (ImageBitCount(frame) == 8) {
        std::memcpy(out, ImageRow(frame, y), size_t(width));
        return;
    }
    for (int x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(ImageGetPixel(frame, x, y));
}

// The frame's colours as 0xAARRGGBB, top row first; opaque unless it
// carries alpha.
void FrameColors(const Image* frame, uint32_t* out) {
    const int width = ImageWidth(frame), height = ImageHeight(frame), bits = ImageBitCount(frame);
    if (bits <= 8) {
        uint32_t table[256];
        FrameTable(frame, table);
        std::vector<uint8_t> row(static_cast<size_t>(width), 0);
        for (int y = 0; y < height; ++y, out += width) {
            IndexRow(frame, y, row.data());
            for (int x = 0; x < width; ++x) out[x] = table[row[x]];
        }
        return;
    }
    const bool alpha = PngCarriesAlpha(frame);
    for (int y = 0; y < height; ++y, out += width) {
        const uint8_t* p = ImageRow(frame, y);
        for (int x = 0; x < width; ++x) {
            if (bits == 16) out[x] = 0xFF000000u | Rgb555To24(GetU16(p + 2 * x));
            else if (bits == 24) out[x] = 0xFF000000u | uint32_t{p[3 * x + 2]} << 16 | uint32_t{p[3 * x + 1]} << 8 | p[3 * x];
            else out[x] = (alpha ? uint32_t{p[4 * x + 3]} << 24 : 0xFF000000u) | uint32_t{p[4 * x + 2]} << 16 | uint32_t{p[4 * x + 1]} << 8 | p[4 * x];
        }
    }
}

size_t Pixels(const Image* frame) { return size_t(ImageWidth(frame)) * size_t(ImageHeight(frame)); }

}  // namespace

struct ApngScan {
    int width = 0, height = 0;
    int32_t frames = 0;
    bool palette = true, alpha = false;
    uint32_t table[256] = {};
    bool used[256] = {};
    std::vector<uint32_t> last, next;
    uint32_t joinedDelay = 0;
};

ApngScan* ApngScanCreate() { return new (std::nothrow) ApngScan; }
void ApngScanDestroy(ApngScan* scan) { delete scan; }

bool ApngScanAdd(ApngScan* scan, const Image* frame, uint32_t delay) {
    const bool first = scan->frames == 0;
    if (first) scan->width = ImageWidth(frame), scan->height = ImageHeight(frame);
    if (ImageWidth(frame) != scan->width || ImageHeight(frame) != scan->height) return false;
    scan->next.resize(Pixels(frame));
    if (ImageBitCount(frame) <= 8) {
        uint32_t table[256];
        FrameTable(frame, table);
        if (first) std::memcpy(scan->table, table, sizeof table);
        else if (std::memcmp(scan->table, table, sizeof table) != 0) scan->palette = false;
        std::vector<uint8_t> row(static_cast<size_t>(scan->width), 0);
        for (int y = 0; y < scan->height; ++y) {
            IndexRow(frame, y, row.data());
            for (uint8_t v : row) scan->used[v] = true;
        }
    } else {
        scan->palette = false;
        scan->alpha = scan->alpha || PngCarriesAlpha(frame);
    }
    FrameColors(frame, scan->next.data());
    // The joining rule of the stream, which must count the frames as it writes them.
    if (!first && scan->next == scan->last && uint64_t{scan->joinedDelay} + delay <= kApngLongestExactDelay) {
        scan->joinedDelay += delay;
        return true;
    }
    ++scan->frames;
    scan->joinedDelay = delay;
    scan->last.swap(scan->next);
    return true;
}

ApngPlan ApngScanResult(const ApngScan* scan) {
    ApngPlan plan;
    plan.frames = scan->frames;
    plan.palette = scan->palette && scan->frames > 0;
    plan.alpha = !plan.palette && scan->alpha;
    if (plan.palette)
        for (int i = 255; i >= 0; --i)
            if (!scan->used[i]) plan.transparent = i;
    return plan;
}

namespace {

MemBufferPtr NewBuffer() { return MemBufferPtr(MemBufferCreate(kMemBufferGrowStep, 1 << 20)); }

struct Rect {
    int x, y, width, height;
};

class ApngWriter {
public:
    ApngPlan plan;
    int width = 0, height = 0;
    int sampleBytes = 1;  // 1 index, 3 RGB, 4 RGBA
    uint32_t table[256] = {};
    std::vector<uint8_t> shown, pending, incoming, candidate;
    std::vector<uint32_t> colors;  // the incoming frame's, for true colour
    bool havePending = false;
    uint32_t pendingDelay = 0;
    uint32_t sequence = 0;
    int32_t written = 0;

    void init(const Image* first, const ApngPlan& p) {
        plan = p;
        width = ImageWidth(first), height = ImageHeight(first);
        sampleBytes = plan.palette ? 1 : plan.alpha ? 4 : 3;
        if (plan.palette) FrameTable(first, table);
        const size_t bytes = Pixels(first) * size_t(sampleBytes);
        shown.assign(bytes, 0);
        beforeHeld.assign(bytes, 0);
        pending.resize(bytes);
        incoming.resize(bytes);
        candidate.reserve(bytes);
        if (!plan.palette) colors.resize(Pixels(first));
    }

    void writeHeader(ByteWriter& out) const {
        PngWriteSignature(out);
        PngWriteHeader(out, width, height, 8, plan.palette ? kPngPalette : plan.alpha ? kPngRgba : kPngRgb);
        if (plan.palette) {
            uint8_t triples[768];
            for (int i = 0; i < 256; ++i) triples[3 * i] = uint8_t(table[i] >> 16), triples[3 * i + 1] = uint8_t(table[i] >> 8), triples[3 * i + 2] = uint8_t(table[i]);
            PngWriteChunk(out, "PLTE", triples, sizeof triples);
            if (plan.transparent >= 0) {
                uint8_t alpha[256];
                std::memset(alpha, 255, sizeof alpha);
                alpha[plan.transparent] = 0;
                PngWriteChunk(out, "tRNS", alpha, size_t(plan.transparent) + 1);
            }
        }
        uint8_t control[8];
        PutU32Be(control, static_cast<uint32_t>(plan.frames));
        PutU32Be(control + 4, 0);  // loop for ever
        PngWriteChunk(out, "acTL", control, sizeof control);
    }

    // The frame as the stream's samples, into `incoming`.
    bool take(const Image* frame) {
        if (ImageWidth(frame) != width || ImageHeight(frame) != height) return false;
        if (plan.palette) {
            if (ImageBitCount(frame) > 8) return false;
            for (int y = 0; y < height; ++y) IndexRow(frame, y, incoming.data() + size_t(y) * size_t(width));
            return true;
        }
        FrameColors(frame, colors.data());
        uint8_t* o = incoming.data();
        for (uint32_t c : colors) {
            *o++ = uint8_t(c >> 16), *o++ = uint8_t(c >> 8), *o++ = uint8_t(c);
            if (sampleBytes == 4) *o++ = uint8_t(c >> 24);
        }
        return true;
    }

    // Whether two frames show the same colours everywhere (the scan's rule).
    bool same(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
        if (a == b) return true;
        if (!plan.palette) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (table[a[i]] != table[b[i]]) return false;
        return true;
    }

    bool pixelChanged(const std::vector<uint8_t>& base, size_t i) const {
        return std::memcmp(&pending[i * sampleBytes], &base[i * sampleBytes], size_t(sampleBytes)) != 0;
    }

    // The rectangle of the pending frame that differs from `base`.
    Rect changed(const std::vector<uint8_t>& base) const {
        int left = width, right = -1, top = height, bottom = -1;
        for (int y = 0; y < height; ++y) {
            const size_t row = size_t(y) * size_t(width) * size_t(sampleBytes);
            if (std::memcmp(&pending[row], &base[row], size_t(width) * size_t(sampleBytes)) == 0) continue;
            top = std::min(top, y), bottom = y;
            int x = 0;
            while (!pixelChanged(base, size_t(y) * size_t(width) + size_t(x))) ++x;
            left = std::min(left, x);
            x = width - 1;
            while (!pixelChanged(base, size_t(y) * size_t(width) + size_t(x))) --x;
            right = std::max(right, x);
        }
        if (bottom < 0) return {0, 0, 1, 1};  // nothing changed: one pixel, as it is
        return {left, top, right - left + 1, bottom - top + 1};
    }

    // Whether the rectangle can be drawn over `base`: only what changed is
    // opaque, and the rest can be said transparent.
    bool canBlend(const std::vector<uint8_t>& base, const Rect& r) const {
        if (plan.palette) return plan.transparent >= 0;
        if (sampleBytes != 4) return false;
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x) {
                const size_t i = size_t(y) * size_t(width) + size_t(x);
                if (pixelChanged(base, i) && pending[i * 4 + 3] != 255) return false;
            }
        return true;
    }

    // The rectangle's frame data (fdAT, or IDAT for the first frame) into
    // `out`, numbered from *seq on; `over`: the pixels equal to `base`
    // transparent.
    bool encode(const std::vector<uint8_t>& base, const Rect& r, bool over, PngFilters filters, uint32_t* seq,
                MemBuffer* out) {
        ByteWriter writer(out);
        const size_t rowBytes = size_t(r.width) * size_t(sampleBytes);
        candidate.resize(rowBytes);
        PngRowEncoder rows(writer, rowBytes, sampleBytes, filters, written == 0 ? nullptr : seq);
        for (int y = r.y; y < r.y + r.height && rows.ok(); ++y) {
            const size_t start = (size_t(y) * size_t(width) + size_t(r.x)) * size_t(sampleBytes);
            std::memcpy(candidate.data(), &pending[start], rowBytes);
            if (over)
                for (int x = 0; x < r.width; ++x) {
                    if (pixelChanged(base, size_t(y) * size_t(width) + size_t(r.x + x))) continue;
                    if (plan.palette) candidate[size_t(x)] = static_cast<uint8_t>(plan.transparent);
                    else std::memset(&candidate[size_t(x) * 4], 0, 4);
                }
            rows.row(candidate.data());
        }
        return rows.finish();
    }

    // The frame written last is held back until the next one decides how it
    // goes: kept on the canvas, or put back to what was there before it
    // (dispose "previous"), whichever lets the next one encode smaller.
    MemBufferPtr held;                    // its fcTL and data
    std::vector<uint8_t> beforeHeld;  // the canvas before it was drawn

    // Holds the pending frame back: of the ways to write it (after the held
    // frame kept or put back; replaced or drawn over; palette frames also
    // unfiltered or filtered row by row), the smallest. Writes the frame held
    // before it into `out`.
    bool flush(ByteWriter& out) {
        MemBufferPtr best, trial;
        uint32_t bestSequence = sequence + 1;
        uint8_t blend = kBlendSource;
        bool restore = false;
        Rect bestRect{0, 0, width, height};
        // Putting back what the first frame covered would clear the canvas.
        for (const bool back : {false, true}) {
            if (back && written < 2) continue;
            const std::vector<uint8_t>& base = back ? beforeHeld : shown;
            const Rect r = written == 0 ? Rect{0, 0, width, height} : changed(base);
            const bool blends = written > 0 && canBlend(base, r);
            for (const uint8_t mode : {kBlendSource, kBlendOver}) {
                if (mode == kBlendOver && !blends) continue;
                for (const PngFilters filters : {PngFilters::kNone, PngFilters::kAdaptive}) {
                    if (filters == PngFilters::kNone && !plan.palette) continue;
                    trial = NewBuffer();
                    uint32_t after = sequence + 1;
                    if (!trial || !encode(base, r, mode == kBlendOver, filters, &after, trial.get())) return false;
                    if (best && trial->size >= best->size) continue;
                    best.swap(trial);
                    bestSequence = after, blend = mode, restore = back, bestRect = r;
                }
            }
        }
        if (!releaseHeld(out, restore ? kDisposePrevious : kDisposeNone)) return false;

        MemBufferPtr next = NewBuffer();
        if (!next) return false;
        ByteWriter frame(next.get());
        uint8_t control[26];
        PutU32Be(control, sequence);
        PutU32Be(control + 4, uint32_t(bestRect.width));
        PutU32Be(control + 8, uint32_t(bestRect.height));
        PutU32Be(control + 12, uint32_t(bestRect.x));
        PutU32Be(control + 16, uint32_t(bestRect.y));
        // Milliseconds over 1000 while they fit in 16 bits; hundredths above.
        const uint32_t delay = pendingDelay <= 0xFFFF ? pendingDelay : std::min<uint32_t>((pendingDelay + 5) / 10, 0xFFFF);
        const uint32_t den = pendingDelay <= 0xFFFF ? 1000 : 100;
        control[20] = uint8_t(delay >> 8), control[21] = uint8_t(delay);
        control[22] = uint8_t(den >> 8), control[23] = uint8_t(den);
        control[24] = kDisposeNone;  // settled when the next frame is written
        control[25] = blend;
        PngWriteChunk(frame, "fcTL", control, sizeof control);
        frame.write(best->data, size_t(best->size));
        if (!frame.ok()) return false;
        held.swap(next);
        sequence = written == 0 ? sequence + 1 : bestSequence;
        ++written;
        // The canvas the new frame is drawn on, and after it.
        if (!restore) beforeHeld.swap(shown);
        shown.swap(pending);
        return out.ok();
    }

    // Writes the held frame, its dispose operation settled.
    bool releaseHeld(ByteWriter& out, uint8_t dispose) {
        if (!held) return true;
        constexpr size_t kDisposeAt = 8 + 24, kCrcAt = 8 + 26;
        held->data[kDisposeAt] = dispose;
        PutU32Be(held->data + kCrcAt, static_cast<uint32_t>(crc32(0, held->data + 4, 4 + 26)));
        out.write(held->data, size_t(held->size));
        held.reset();
        return out.ok();
    }

    bool add(const Image* frame, uint32_t delay, ByteWriter& out) {
        if (!take(frame)) return false;
        if (havePending && same(incoming, pending) && uint64_t{pendingDelay} + delay <= kApngLongestExactDelay) {
            pendingDelay += delay;
            return true;
        }
        if (havePending && !flush(out)) return false;
        // After a flush `pending` holds the frame before the one shown; it is overwritten next.
        pending.swap(incoming);
        pendingDelay = delay;
        havePending = true;
        return true;
    }
};

int ApngOpen(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1 || !request->options || !request->image) return Fail(request, kErrorUnsupportedType);
    const ApngPlan& plan = *static_cast<const ApngPlan*>(request->options);
    if (plan.frames <= 0 || (plan.palette && ImageBitCount(request->image) > 8)) return Fail(request, kErrorUnsupportedType);
    std::unique_ptr<ApngWriter> writer(new (std::nothrow) ApngWriter);
    if (!writer) return Fail(request, kErrorOutOfMemory);
    writer->init(request->image, plan);
    ByteWriter out(stream->pending);
    writer->writeHeader(out);
    stream->state = writer.release();  // the stream's from here, whatever the pending write does
    return out.ok() ? 1 : Fail(request, kErrorWrite);
}

int ApngWriteFrame(Stream* stream, StreamFrameRequest* request) {
    auto* writer = static_cast<ApngWriter*>(stream->state);
    // A frame's encoding is bounded by its pixels: asked before each, a stop ends the stream within one.
    const Image* image = request->image;
    if (stream->work && !stream->work->spend(uint64_t(ImageWidth(image)) * uint64_t(ImageHeight(image))))
        return Fail(request, Status::Cancelled());
    ByteWriter out(stream->pending);
    if (!writer->add(request->image, request->delay, out))
        return Fail(request, out.ok() ? kErrorInvalidData : kErrorWrite);
    return out.ok() ? 1 : Fail(request, kErrorWrite);
}

int ApngClose(Stream* stream, StreamCloseRequest* request) {
    std::unique_ptr<ApngWriter> writer(static_cast<ApngWriter*>(stream->state));
    stream->state = nullptr;
    if (stream->abandoned || !writer) return 1;
    ByteWriter out(stream->pending);
    if ((writer->havePending && !writer->flush(out)) || !writer->releaseHeld(out, kDisposeNone))
        return Fail(request, kErrorWrite);
    // acTL said how many frames come: a source that gave others is damaged.
    if (writer->written != writer->plan.frames) return Fail(request, kErrorInvalidData);
    PngWriteChunk(out, "IEND", nullptr, 0);
    return out.ok() ? 1 : Fail(request, kErrorWrite);
}

}  // namespace

const StreamOps kApngStreamOps = {ApngOpen, nullptr, ApngWriteFrame, ApngClose};

const FileFormat kApngFormat = {
    kFormatApng, nullptr, nullptr, nullptr, "Animated Portable Network Graphics", "PNG;APNG", &kApngStreamOps, nullptr,
};
