#include "codecs/gif_animation.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "codecs/gif_lzw.h"
#include "codecs/gif_writer.h"
#include "formats/byte_writer.h"
#include "image/quantize.h"

namespace {

// The longest delay a frame can say, in milliseconds (65535 hundredths):
// equal frames are joined only while their delays add up to no more.
constexpr uint32_t kLongestDelay = 655350;

// A frame whose colours are reduced gets a table of its own only when that
// cuts the error to 1 / 1.4 or less (about 1.5 dB): a local table costs 768
// bytes, and a table shared by the frames keeps the areas that did not change
// the same, which the changed rectangles need. No table of its own is tried
// when the shared one is this good already.
constexpr uint64_t kLocalGainTenths = 14;
constexpr double kGoodEnoughPsnr = 40;

// NETSCAPE2.0 application extension, loop count 0: play for ever, as the
// viewer does.
constexpr uint8_t kLoopForever[] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E',
                                    '2',  '.',  '0',  0x03, 0x01, 0x00, 0x00, 0x00};

struct ImageDeleter {
    void operator()(Image* image) const { ImageDestroy(image); }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

uint32_t ColorOf(const PaletteEntry& e) { return uint32_t{e.red} << 16 | uint32_t{e.green} << 8 | e.blue; }

// A colour table: its entries and their colours as 0xRRGGBB.
struct Table {
    int count = 0;
    PaletteEntry entries[256] = {};
    uint32_t colors[256] = {};

    void push(uint32_t color) {
        entries[count] = {uint8_t(color >> 16), uint8_t(color >> 8), uint8_t(color), 0};
        colors[count++] = color;
    }
};

// A frame as it is written: palette indices into the global table or its own.
struct Frame {
    ImagePtr pixels;  // 8 bits per pixel
    bool global = true;
    Table local;
    uint32_t delay = 0;  // milliseconds

    int width() const { return ImageWidth(pixels.get()); }
    int height() const { return ImageHeight(pixels.get()); }
};

struct Rect {
    int left, top, width, height;
};

}  // namespace

struct GifAnimation {
    Table global;
    std::vector<uint32_t> globalSorted;  // the global colours in order, to look them up
    bool reduced = false;                // the global table was chosen for more colours than it holds
    bool dither = false;
    std::optional<Frame> held;   // the latest frame, not written yet
    std::optional<Frame> shown;  // the frame on the canvas when `held` is drawn
    LzwEncoder encoder;
};

namespace {

const Table& TableOf(const GifAnimation& a, const Frame& f) { return f.global ? a.global : f.local; }

void SortByUse(std::vector<ColorCount>& colors) {
    std::sort(colors.begin(), colors.end(), [](const ColorCount& x, const ColorCount& y) {
        return x.count != y.count ? x.count > y.count : x.color < y.color;
    });
}

// The global table: every colour of the frames, most used first, when they
// number 256 or fewer; else the first frame's and then the most used others;
// else, when a frame has more than 256, a palette chosen for all the frames.
bool PlanGlobalTable(GifAnimation& a, const Image* first, const Image* frames) {
    const Image* start = frames ? frames : first;
    auto following = [frames](const Image* f) { return frames ? ImageNext(f) : nullptr; };
    std::unordered_map<uint32_t, uint64_t> uses;
    std::vector<ColorCount> firstColors, colors;
    bool reduce = false;
    for (const Image* f = start; f && !reduce; f = following(f)) {
        reduce = !ImageDistinctColors(f, 256, &colors);
        if (f == start) firstColors = colors;
        for (const ColorCount& c : colors) uses[c.color] += c.count;
    }
    if (reduce) {
        ColorHistogram histogram;
        for (const Image* f = start; f; f = following(f))
            if (!histogram.add(f)) return false;
        PaletteEntry palette[256];
        const int count = QuantizePalette(histogram, 256, palette);
        if (count == 0) return false;
        for (int i = 0; i < count; ++i) a.global.push(ColorOf(palette[i]));
        a.reduced = true;
    } else {
        std::vector<ColorCount> all;
        for (const auto& [color, count] : uses) all.push_back({color, count});
        SortByUse(all);
        if (all.size() > 256) {
            std::vector<ColorCount> chosen = firstColors;
            for (const ColorCount& c : all) {
                if (chosen.size() == 256) break;
                if (std::none_of(firstColors.begin(), firstColors.end(),
                                 [&](const ColorCount& f) { return f.color == c.color; }))
                    chosen.push_back(c);
            }
            all = chosen;
        }
        for (const ColorCount& c : all) a.global.push(c.color);
    }
    a.globalSorted.assign(a.global.colors, a.global.colors + a.global.count);
    std::sort(a.globalSorted.begin(), a.globalSorted.end());
    return true;
}

// An 8-bit copy of an image of 8 bits or fewer, each index through `lookup`.
Image* Reindex(const Image* image, const uint8_t* lookup) {
    const int width = ImageWidth(image), height = ImageHeight(image);
    Image* out = ImageCreate(width, height, 8);
    if (!out) return nullptr;
    const bool bytes = ImageBitCount(image) == 8;
    for (int y = 0; y < height; ++y) {
        const uint8_t* from = ImageRow(image, y);
        uint8_t* to = ImageRow(out, y);
        for (int x = 0; x < width; ++x) to[x] = lookup[bytes ? from[x] : ImageGetPixel(image, x, y)];
    }
    return out;
}

// The frame in indices of a table that holds each of its colours exactly.
Image* IndexExactly(const Image* image, const Table& table) {
    if (ImageBitCount(image) > 8) return ImageMapToPalette(image, table.entries, table.count, false, nullptr);
    PaletteMatcher matcher(table.entries, table.count);
    uint8_t lookup[256] = {};
    for (int i = 0; i < (1 << ImageBitCount(image)); ++i) {
        const RgbQuad* q = ImageColorTable(image, i);
        lookup[i] = static_cast<uint8_t>(matcher.nearest(uint32_t{q->rgbRed} << 16 | uint32_t{q->rgbGreen} << 8 | q->rgbBlue));
    }
    return Reindex(image, lookup);
}

// A frame of more than 256 colours: through the global table, or through
// one of its own when that is clearly better.
bool IndexReduced(const GifAnimation& a, const Image* image, Frame* frame) {
    const uint64_t samples = uint64_t(ImageWidth(image)) * uint64_t(ImageHeight(image)) * 3;
    uint64_t globalError = 0, localError = 0;
    ImagePtr viaGlobal(a.reduced ? ImageMapToPalette(image, a.global.entries, a.global.count, a.dither, &globalError)
                                 : nullptr);
    if (a.reduced && !viaGlobal) return false;
    if (viaGlobal && ColorPsnr(globalError, samples) >= kGoodEnoughPsnr) {
        frame->pixels = std::move(viaGlobal);
        return true;
    }
    ColorHistogram histogram;
    PaletteEntry palette[256];
    const int count = histogram.add(image) ? QuantizePalette(histogram, 256, palette) : 0;
    if (count == 0) return false;
    ImagePtr viaLocal(ImageMapToPalette(image, palette, count, a.dither, &localError));
    if (!viaLocal) return false;
    if (viaGlobal && globalError * 10 <= localError * kLocalGainTenths) {
        frame->pixels = std::move(viaGlobal);
        return true;
    }
    frame->global = false;
    for (int i = 0; i < count; ++i) frame->local.push(ColorOf(palette[i]));
    frame->pixels = std::move(viaLocal);
    return true;
}

bool MakeFrame(const GifAnimation& a, const Image* image, uint32_t delay, Frame* frame) {
    frame->delay = delay;
    std::vector<ColorCount> colors;
    if (!ImageDistinctColors(image, 256, &colors)) return IndexReduced(a, image, frame);
    frame->global = std::all_of(colors.begin(), colors.end(), [&](const ColorCount& c) {
        return std::binary_search(a.globalSorted.begin(), a.globalSorted.end(), c.color);
    });
    if (!frame->global)
        for (const ColorCount& c : colors) frame->local.push(c.color);
    frame->pixels.reset(IndexExactly(image, TableOf(a, *frame)));
    return frame->pixels != nullptr;
}

// The smallest rectangle that holds every pixel whose colour differs between
// two frames of one size; 0 wide when there is none.
Rect ChangedRect(const GifAnimation& a, const Frame& before, const Frame& after) {
    const uint32_t* colorsBefore = TableOf(a, before).colors;
    const uint32_t* colorsAfter = TableOf(a, after).colors;
    const bool sameTable = before.global && after.global;
    const int width = after.width();
    int top = -1, bottom = -1, left = width, right = -1;
    for (int y = 0; y < after.height(); ++y) {
        const uint8_t* b = ImageRow(before.pixels.get(), y);
        const uint8_t* f = ImageRow(after.pixels.get(), y);
        auto differs = [&](int x) { return sameTable ? b[x] != f[x] : colorsBefore[b[x]] != colorsAfter[f[x]]; };
        int first = 0;
        while (first < width && !differs(first)) ++first;
        if (first == width) continue;
        int last = width - 1;
        while (!differs(last)) --last;
        if (top < 0) top = y;
        bottom = y;
        left = std::min(left, first);
        right = std::max(right, last);
    }
    if (top < 0) return {0, 0, 0, 0};
    return {left, top, right - left + 1, bottom - top + 1};
}

// One image block into a new buffer: head, code size, LZW data, terminator.
MemBuffer* EncodeBlock(LzwEncoder& encoder, const GifImageHead& head, const std::vector<uint8_t>& pixels, int maxValue) {
    MemBuffer* buffer = MemBufferCreate(static_cast<int32_t>(std::min<size_t>(pixels.size() / 2 + 1024, 1 << 20)),
                                        kMemBufferGrowStep);
    if (!buffer) return nullptr;
    ByteWriter out(buffer);
    GifWriteImageHead(out, head);
    const int codeSize = std::max(2, GifBitsFor(maxValue + 1));
    out.u8(static_cast<uint32_t>(codeSize));
    if (!out.ok() || !LzwEncodeStart(encoder, codeSize, out)) {
        MemBufferFree(buffer);
        return nullptr;
    }
    LzwEncode(encoder, pixels.data(), pixels.size(), out);
    LzwEncodeFinish(encoder, out);
    out.u8(0);
    if (out.ok()) return buffer;
    MemBufferFree(buffer);
    return nullptr;
}

// Writes the held frame over the one shown: the rectangle that changed, and
// in it the pixels that did not as the transparent index when that is smaller.
bool WriteHeld(GifAnimation& a, MemBuffer* out, ErrorCode* error) {
    const Frame& frame = *a.held;
    const bool over = a.shown && a.shown->width() == frame.width() && a.shown->height() == frame.height();
    Rect r = over ? ChangedRect(a, *a.shown, frame) : Rect{0, 0, frame.width(), frame.height()};
    if (r.width == 0) r = {0, 0, 1, 1};  // equal frames too long to join: a pixel that stays as it is
    const Table& table = TableOf(a, frame);
    const int bits = GifBitsFor(table.count);

    const size_t area = size_t(r.width) * size_t(r.height);
    std::vector<uint8_t> plain(area), kept(over ? area : 0);  // kept: 1 where the pixel stays as shown
    bool usedByChange[256] = {};
    int maxPlain = 0;
    const uint32_t* colorsShown = over ? TableOf(a, *a.shown).colors : nullptr;
    for (int y = 0; y < r.height; ++y) {
        const uint8_t* f = ImageRow(frame.pixels.get(), r.top + y) + r.left;
        const uint8_t* s = over ? ImageRow(a.shown->pixels.get(), r.top + y) + r.left : nullptr;
        for (int x = 0; x < r.width; ++x) {
            const size_t i = size_t(y) * size_t(r.width) + size_t(x);
            plain[i] = f[x];
            maxPlain = std::max<int>(maxPlain, f[x]);
            if (!over) continue;
            kept[i] = colorsShown[s[x]] == table.colors[f[x]];
            if (!kept[i]) usedByChange[f[x]] = true;
        }
    }
    GifImageHead head{r.left, r.top, r.width, r.height, frame.global ? nullptr : table.entries, bits, table.count,
                      -1, 1, GifDelayHundredths(frame.delay)};
    std::unique_ptr<MemBuffer, void (*)(MemBuffer*)> best(EncodeBlock(a.encoder, head, plain, maxPlain), MemBufferFree);
    if (!best) return false;

    int transparent = -1;
    for (int t = 0; over && t < (1 << bits) && transparent < 0; ++t)
        if (!usedByChange[t]) transparent = t;
    if (transparent >= 0) {
        int maxValue = transparent;
        for (size_t i = 0; i < area; ++i) {
            if (kept[i]) plain[i] = static_cast<uint8_t>(transparent);
            else maxValue = std::max<int>(maxValue, plain[i]);
        }
        head.transparent = transparent;
        std::unique_ptr<MemBuffer, void (*)(MemBuffer*)> trial(EncodeBlock(a.encoder, head, plain, maxValue),
                                                                MemBufferFree);
        if (!trial) return false;
        if (trial->size < best->size) best = std::move(trial);
    }
    ByteWriter writer(out);
    writer.write(best->data, static_cast<size_t>(best->size));
    if (!writer.ok()) *error = kErrorWrite;
    return writer.ok();
}

template <typename Work>
bool Guarded(ErrorCode* error, Work work) {
    try {
        if (work()) return true;
        if (*error == kErrorNone) *error = kErrorOutOfMemory;
    } catch (const std::bad_alloc&) {
        *error = kErrorOutOfMemory;
    }
    return false;
}

}  // namespace

GifAnimation* GifAnimationStart(const Image* first, const Image* frames, bool dither, MemBuffer* out,
                                ErrorCode* error) {
    std::unique_ptr<GifAnimation> animation;
    const bool ok = Guarded(error, [&] {
        animation = std::make_unique<GifAnimation>();
        animation->dither = dither;
        if (!PlanGlobalTable(*animation, first, frames)) return false;
        const int bits = GifBitsFor(animation->global.count);
        ByteWriter w(out);
        w.write("GIF89a", 6);
        w.u16(static_cast<uint32_t>(ImageWidth(first)));
        w.u16(static_cast<uint32_t>(ImageHeight(first)));
        w.u8(0x80u | static_cast<uint32_t>((bits - 1) << 4 | (bits - 1)));  // global table
        w.u8(0);
        w.u8(0);
        GifWriteColorTable(w, animation->global.entries, animation->global.count, bits);
        w.write(kLoopForever, sizeof kLoopForever);
        if (!w.ok()) *error = kErrorWrite;
        return w.ok();
    });
    return ok ? animation.release() : nullptr;
}

bool GifAnimationAdd(GifAnimation* a, const Image* image, uint32_t delay, MemBuffer* out, ErrorCode* error) {
    return Guarded(error, [&] {
        Frame frame;
        if (!MakeFrame(*a, image, delay, &frame)) return false;
        if (a->held && a->held->width() == frame.width() && a->held->height() == frame.height() &&
            a->held->delay <= kLongestDelay && delay <= kLongestDelay - a->held->delay &&
            ChangedRect(*a, *a->held, frame).width == 0) {
            a->held->delay += delay;
            return true;
        }
        if (a->held) {
            if (!WriteHeld(*a, out, error)) return false;
            a->shown = std::move(a->held);
        }
        a->held = std::move(frame);
        return true;
    });
}

bool GifAnimationFinish(GifAnimation* a, MemBuffer* out, ErrorCode* error) {
    return Guarded(error, [&] {
        if (a->held && !WriteHeld(*a, out, error)) return false;
        a->held.reset();
        ByteWriter w(out);
        w.u8(0x3B);
        if (!w.ok()) *error = kErrorWrite;
        return w.ok();
    });
}

void GifAnimationDestroy(GifAnimation* animation) { delete animation; }
