#include "codecs/gif_animation.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
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

// Where the delay sits in an image block: after 0x21 0xF9 0x04 and the
// packed byte of its graphic control extension.
constexpr int kDelayOffset = 4;

// The blocks are kept in two buffers for the whole animation; a large first
// frame grows them a megabyte at a time rather than in many small steps.
constexpr int32_t kBlockGrowStep = 1 << 20;

// Counts work on the meter, when there is one; false once it has stopped.
bool Spend(WorkMeter* work, uint64_t units) { return !work || work->spend(units); }

uint32_t ColorOf(const PaletteEntry& e) { return uint32_t{e.red} << 16 | uint32_t{e.green} << 8 | e.blue; }

// Whether `count` bytes are all 0. Reading pages that were never written
// costs no memory, so a row that is black in both places is left alone:
// a huge picture that stays black then costs nothing in a copy of it.
bool AllZero(const uint8_t* bytes, size_t count) {
    static const uint8_t kZeros[4096] = {};
    for (size_t at = 0; at < count; at += sizeof kZeros) {
        const size_t n = std::min(sizeof kZeros, count - at);
        if (std::memcmp(bytes + at, kZeros, n) != 0) return false;
    }
    return true;
}

// Copies a row unless both it and its destination are black.
void CopyRow(uint8_t* to, const uint8_t* from, size_t count) {
    if (AllZero(from, count) && AllZero(to, count)) return;
    std::memcpy(to, from, count);
}

// The colours of the 256 values of an 8-bit frame.
void ValueColors(const Image* image, uint32_t* out) {
    for (int i = 0; i < 256; ++i) {
        const RgbQuad* q = ImageColorTable(image, i);
        out[i] = uint32_t{q->rgbRed} << 16 | uint32_t{q->rgbGreen} << 8 | q->rgbBlue;
    }
}

// A frame of 8 bits, or an 8-bit copy in `scratch` (made anew only when the
// size changes) of one of fewer bits: the same values and colours. None when
// memory runs out or the meter stops.
const Image* EightBit(const Image* frame, ImagePtr& scratch, WorkMeter* work) {
    const int depth = ImageBitCount(frame);
    if (depth == 8) return frame;
    const int width = ImageWidth(frame), height = ImageHeight(frame);
    if (!scratch || ImageWidth(scratch.get()) != width || ImageHeight(scratch.get()) != height)
        scratch.reset(ImageCreate(width, height, 8));
    if (!scratch) return nullptr;
    for (int i = 0; i < 256; ++i) *ImageColorTable(scratch.get(), i) = i < (1 << depth) ? *ImageColorTable(frame, i) : RgbQuad{};
    // Each byte of the frame's rows as the values of its pixels, first at the top bits.
    const int perByte = 8 / depth;
    uint8_t values[256][8] = {};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < perByte; ++k) values[b][k] = static_cast<uint8_t>(b >> (8 - depth * (k + 1)) & ((1 << depth) - 1));
    for (int y = 0; y < height; ++y) {
        if (!Spend(work, uint64_t(width))) return nullptr;
        const uint8_t* from = ImageRow(frame, y);
        uint8_t* to = ImageRow(scratch.get(), y);
        if (AllZero(from, size_t(ImageStride(frame))) && AllZero(to, size_t(width))) continue;  // value 0 throughout
        int x = 0;
        for (; x + perByte <= width; x += perByte) std::memcpy(to + x, values[*from++], size_t(perByte));
        if (x < width) std::memcpy(to + x, values[*from], size_t(width - x));
    }
    return scratch.get();
}

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

void SortByUse(std::vector<ColorCount>& colors) {
    std::sort(colors.begin(), colors.end(), [](const ColorCount& x, const ColorCount& y) {
        return x.count != y.count ? x.count > y.count : x.color < y.color;
    });
}

// The colours of the used values, those of one colour added up, most used
// first: what ImageDistinctColors says of the frame the counts are of.
std::vector<ColorCount> ColorsOfCounts(const uint64_t* counts, const uint32_t* colors) {
    std::vector<ColorCount> out;
    for (int v = 0; v < 256; ++v)
        if (counts[v]) out.push_back({colors[v], counts[v]});
    std::sort(out.begin(), out.end(), [](const ColorCount& x, const ColorCount& y) { return x.color < y.color; });
    size_t kept = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (kept > 0 && out[kept - 1].color == out[i].color) out[kept - 1].count += out[i].count;
        else out[kept++] = out[i];
    }
    out.resize(kept);
    SortByUse(out);
    return out;
}

// ---- The latest 8-bit picture, to compare the next frame with -----------------

// Columns `first` to `last` of row `y` hold every byte that differs.
struct Span {
    int y, first, last;
};

struct FreeDeleter {
    void operator()(uint8_t* block) const { MemFree(block); }
};

// An 8-bit picture, top-down, with its pixel count per value. Its memory
// starts zeroed, taking nothing until written.
struct Plane {
    int width = 0, height = 0;
    std::unique_ptr<uint8_t, FreeDeleter> values;
    uint64_t counts[256] = {};

    const uint8_t* row(int y) const { return values.get() + size_t(y) * size_t(width); }
    uint8_t* row(int y) { return values.get() + size_t(y) * size_t(width); }
    bool sameSize(const Image* image) const {
        return values && width == ImageWidth(image) && height == ImageHeight(image);
    }
};

// The rows in which an 8-bit frame of the plane's size differs from it, and
// the frame's pixel count per value. False when the meter stops.
bool FindDifferences(const Plane& plane, const Image* frame, std::vector<Span>& spans, uint64_t* counts,
                     WorkMeter* work) {
    spans.clear();
    std::copy(plane.counts, plane.counts + 256, counts);
    const int width = plane.width;
    for (int y = 0; y < plane.height; ++y) {
        if (!Spend(work, uint64_t(width))) return false;
        const uint8_t* a = plane.row(y);
        const uint8_t* b = ImageRow(frame, y);
        if (std::memcmp(a, b, size_t(width)) == 0) continue;
        int first = 0, last = width - 1;
        while (a[first] == b[first]) ++first;
        while (a[last] == b[last]) --last;
        for (int x = first; x <= last; ++x)
            if (a[x] != b[x]) --counts[a[x]], ++counts[b[x]];
        spans.push_back({y, first, last});
    }
    return true;
}

// The pixel count per value of an 8-bit frame. False when the meter stops.
bool CountValues(const Image* frame, uint64_t* counts, WorkMeter* work) {
    std::fill(counts, counts + 256, 0);
    const int width = ImageWidth(frame);
    for (int y = 0; y < ImageHeight(frame); ++y) {
        if (!Spend(work, uint64_t(width))) return false;
        const uint8_t* row = ImageRow(frame, y);
        for (int x = 0; x < width; ++x) ++counts[row[x]];
    }
    return true;
}

// Makes the plane the frame: where it differs (`spans`, when it is of the
// plane's size), or all of it. `counts` are the frame's. False when the
// meter stops, the plane then empty.
bool TakeFrame(Plane& plane, const Image* frame, bool differences, const std::vector<Span>& spans,
               const uint64_t* counts, WorkMeter* work) {
    std::copy(counts, counts + 256, plane.counts);
    if (differences) {
        for (const Span& s : spans)
            std::memcpy(plane.row(s.y) + s.first, ImageRow(frame, s.y) + s.first, size_t(s.last - s.first + 1));
        return true;
    }
    plane.values.reset();  // freed before the next is made, as the two may be large
    plane.width = ImageWidth(frame);
    plane.height = ImageHeight(frame);
    plane.values.reset(static_cast<uint8_t*>(MemAllocZeroed(size_t(plane.width) * size_t(plane.height))));
    if (!plane.values) throw std::bad_alloc();
    for (int y = 0; y < plane.height; ++y) {
        if (!Spend(work, uint64_t(plane.width))) {
            plane.values.reset();
            return false;
        }
        CopyRow(plane.row(y), ImageRow(frame, y), size_t(plane.width));
    }
    return true;
}

// Brings the plane to an 8-bit frame: `counts` receives its pixel count per
// value. False when the meter stops.
bool FollowFrame(Plane& plane, std::vector<Span>& spans, const Image* frame, uint64_t* counts, WorkMeter* work) {
    const bool differences = plane.sameSize(frame);
    const bool looked = differences ? FindDifferences(plane, frame, spans, counts, work) : CountValues(frame, counts, work);
    return looked && TakeFrame(plane, frame, differences, spans, counts, work);
}

// The global table: every colour of the frames, most used first, when they
// number 256 or fewer; else the first frame's and then the most used others;
// else, when a frame has more than 256, a palette chosen for all the frames.
struct GlobalTable {
    Table table;
    bool reduced = false;  // chosen for more colours than it holds
};

}  // namespace

struct GifColorCollector {
    WorkMeter* work = nullptr;
    int frames = 0;
    ImagePtr unpacked;  // a frame of fewer than 8 bits in 8
    Plane plane;        // the latest frame of 8 bits or fewer
    std::vector<Span> spans;
    // The 8-bit frames since the colours of their values last changed: the
    // colours, and the pixels per value summed over those frames.
    uint32_t colors[256] = {};
    uint64_t totals[256] = {};
    std::unordered_map<uint32_t, uint64_t> uses;  // pixels per colour of the frames before
    std::vector<ColorCount> firstColors;
    bool reduce = false;         // a frame has more than 256 colours: the table is a palette chosen for all
    ColorHistogram histogram;    // then every pixel, from the first frame on
};

namespace {

// Adds the summed 8-bit frames to the uses per colour.
void FoldTotals(const GifColorCollector& c, std::unordered_map<uint32_t, uint64_t>& uses) {
    for (int v = 0; v < 256; ++v)
        if (c.totals[v]) uses[c.colors[v]] += c.totals[v];
}

// From now on every pixel goes to the histogram, those counted so far first.
void StartReducing(GifColorCollector& c) {
    c.reduce = true;
    FoldTotals(c, c.uses);
    std::fill(c.totals, c.totals + 256, 0);
    for (const auto& [color, count] : c.uses) c.histogram.add(color, count);
    c.uses.clear();
}

bool CollectEightBit(GifColorCollector& c, const Image* frame) {
    uint64_t counts[256];
    uint32_t colors[256];
    if (!FollowFrame(c.plane, c.spans, frame, counts, c.work)) return false;
    ValueColors(frame, colors);
    if (c.reduce) {
        for (int v = 0; v < 256; ++v)
            if (counts[v]) c.histogram.add(colors[v], counts[v]);
        return true;
    }
    if (c.frames == 1) c.firstColors = ColorsOfCounts(counts, colors);
    if (std::memcmp(colors, c.colors, sizeof colors) != 0) {
        FoldTotals(c, c.uses);
        std::fill(c.totals, c.totals + 256, 0);
        std::copy(colors, colors + 256, c.colors);
    }
    for (int v = 0; v < 256; ++v) c.totals[v] += counts[v];
    return true;
}

bool CollectOther(GifColorCollector& c, const Image* frame) {
    if (c.reduce) return c.histogram.add(frame, c.work);
    std::vector<ColorCount> colors;
    if (!ImageDistinctColors(frame, 256, &colors, c.work)) {
        StartReducing(c);
        return c.histogram.add(frame, c.work);
    }
    if (c.frames == 1) c.firstColors = colors;
    for (const ColorCount& color : colors) c.uses[color.color] += color.count;
    return true;
}

bool ChooseTable(const GifColorCollector& c, GlobalTable* out, WorkMeter* work) {
    if (c.reduce) {
        PaletteEntry palette[256];
        const int count = QuantizePalette(c.histogram, 256, palette, work);
        if (count == 0) return false;
        for (int i = 0; i < count; ++i) out->table.push(ColorOf(palette[i]));
        out->reduced = true;
        return true;
    }
    std::unordered_map<uint32_t, uint64_t> uses = c.uses;
    FoldTotals(c, uses);
    std::vector<ColorCount> all;
    for (const auto& [color, count] : uses) all.push_back({color, count});
    SortByUse(all);
    if (all.size() > 256) {
        std::vector<ColorCount> chosen = c.firstColors;
        for (const ColorCount& color : all) {
            if (chosen.size() == 256) break;
            if (std::none_of(c.firstColors.begin(), c.firstColors.end(),
                             [&](const ColorCount& f) { return f.color == color.color; }))
                chosen.push_back(color);
        }
        all = chosen;
    }
    for (const ColorCount& color : all) out->table.push(color.color);
    return true;
}

// How the values of a frame's 8-bit picture are written: the table's index
// and its colour for each value.
struct Mapping {
    bool global = true;
    Table local;  // when not global
    uint8_t index[256] = {};
    uint32_t color[256] = {};
};

struct Rect {
    int left, top, width, height;
};

}  // namespace

struct GifAnimation {
    WorkMeter* work = nullptr;
    GlobalTable global;
    std::vector<uint32_t> globalSorted;  // the global colours in order, to look them up
    std::unique_ptr<PaletteMatcher> globalMatcher;
    bool dither = false;

    // The latest frame, as written: its 8-bit picture (the frame's own pixels
    // when it has 8 bits or fewer, else its indices) and how its values are
    // written.
    ImagePtr unpacked;  // a frame of fewer than 8 bits in 8
    Plane canvas;
    Mapping canvasMap;
    // The global mapping of the colours of 8-bit values asked last.
    bool sourceValid = false;
    uint32_t sourceColors[256] = {};
    Mapping sourceMap;

    // The block of the latest frame, written once the next frame differs
    // (or at the end) with the delays of the frames joined to it.
    MemBufferPtr held;
    bool holding = false;
    uint32_t heldDelay = 0;

    MemBufferPtr trial;  // the other way of encoding a block, to keep the smaller
    std::vector<Span> spans;
    std::vector<uint8_t> row;  // one row of a block's values on its way to the encoder
    LzwEncoder encoder;
};

namespace {

const Table& TableOf(const GifAnimation& a, const Mapping& m) { return m.global ? a.global.table : m.local; }

bool InGlobal(const GifAnimation& a, uint32_t color) {
    return std::binary_search(a.globalSorted.begin(), a.globalSorted.end(), color);
}

// The values of a picture whose values are the indices of a table.
void MapIdentity(const Table& table, Mapping* map) {
    for (int v = 0; v < 256; ++v) {
        map->index[v] = static_cast<uint8_t>(v);
        map->color[v] = v < table.count ? table.colors[v] : 0;
    }
}

// A frame of more than 256 colours: through the global table, or through
// one of its own when that is clearly better.
bool IndexReduced(const GifAnimation& a, const Image* image, ImagePtr* pixels, Mapping* map) {
    const uint64_t samples = uint64_t(ImageWidth(image)) * uint64_t(ImageHeight(image)) * 3;
    uint64_t globalError = 0, localError = 0;
    const Table& global = a.global.table;
    ImagePtr viaGlobal(a.global.reduced
                           ? ImageMapToPalette(image, global.entries, global.count, a.dither, &globalError, a.work)
                           : nullptr);
    if (a.global.reduced && !viaGlobal) return false;
    if (viaGlobal && ColorPsnr(globalError, samples) >= kGoodEnoughPsnr) {
        *pixels = std::move(viaGlobal);
        return true;
    }
    ColorHistogram histogram;
    PaletteEntry palette[256];
    const int count = histogram.add(image, a.work) ? QuantizePalette(histogram, 256, palette, a.work) : 0;
    if (count == 0) return false;
    ImagePtr viaLocal(ImageMapToPalette(image, palette, count, a.dither, &localError, a.work));
    if (!viaLocal) return false;
    if (viaGlobal && globalError * 10 <= localError * kLocalGainTenths) {
        *pixels = std::move(viaGlobal);
        return true;
    }
    map->global = false;
    for (int i = 0; i < count; ++i) map->local.push(ColorOf(palette[i]));
    *pixels = std::move(viaLocal);
    return true;
}

// A frame above 8 bits as the indices of the table it is written with.
bool IndexDeep(const GifAnimation& a, const Image* image, ImagePtr* pixels, Mapping* map) {
    std::vector<ColorCount> colors;
    if (!ImageDistinctColors(image, 256, &colors, a.work)) {
        if (!IndexReduced(a, image, pixels, map)) return false;
    } else {
        map->global = std::all_of(colors.begin(), colors.end(), [&](const ColorCount& c) { return InGlobal(a, c.color); });
        if (!map->global)
            for (const ColorCount& c : colors) map->local.push(c.color);
        const Table& table = TableOf(a, *map);  // which holds each of its colours exactly
        pixels->reset(ImageMapToPalette(image, table.entries, table.count, false, nullptr, a.work));
        if (!*pixels) return false;
    }
    MapIdentity(TableOf(a, *map), map);
    return true;
}

// How an 8-bit frame's values are written: through the global table when
// it holds the colour of every value used (`counts`), else through a table
// of the frame's colours.
void MapEightBit(GifAnimation& a, const Image* image, const uint64_t* counts, Mapping* map) {
    uint32_t colors[256];
    ValueColors(image, colors);
    bool global = true;
    for (int v = 0; v < 256 && global; ++v) global = counts[v] == 0 || InGlobal(a, colors[v]);
    if (global) {
        if (!a.sourceValid || std::memcmp(colors, a.sourceColors, sizeof colors) != 0) {
            Mapping& m = a.sourceMap;
            for (int v = 0; v < 256; ++v) {
                const bool inTable = InGlobal(a, colors[v]);
                m.index[v] = static_cast<uint8_t>(inTable ? a.globalMatcher->nearest(colors[v]) : 0);
                m.color[v] = inTable ? a.global.table.colors[m.index[v]] : colors[v];
            }
            std::copy(colors, colors + 256, a.sourceColors);
            a.sourceValid = true;
        }
        *map = a.sourceMap;
        return;
    }
    map->global = false;
    for (const ColorCount& c : ColorsOfCounts(counts, colors)) map->local.push(c.color);
    PaletteMatcher matcher(map->local.entries, map->local.count);
    for (int v = 0; v < 256; ++v) {
        map->index[v] = static_cast<uint8_t>(counts[v] ? matcher.nearest(colors[v]) : 0);
        map->color[v] = counts[v] ? map->local.colors[map->index[v]] : colors[v];
    }
}

// The smallest rectangle that holds every pixel whose colour differs between
// the canvas and the frame (`values`, of the canvas's size, written through
// `map`); 0 wide when there is none. Two frames of the global table compare
// by index. Only the rows in `spans` can differ unless a value in the canvas
// is now written otherwise. False when the meter stops.
bool ChangedRect(const GifAnimation& a, const Image* values, const Mapping& map, Rect* changed) {
    const Mapping& before = a.canvasMap;
    const bool sameTable = before.global && map.global;
    auto differs = [&](uint8_t s, uint8_t f) {
        return sameTable ? before.index[s] != map.index[f] : before.color[s] != map.color[f];
    };
    bool everywhere = false;
    for (int v = 0; v < 256 && !everywhere; ++v) everywhere = a.canvas.counts[v] && differs(uint8_t(v), uint8_t(v));
    int top = -1, bottom = -1, left = a.canvas.width, right = -1;
    auto look = [&](int y, int from, int to) {
        const uint8_t* s = a.canvas.row(y);
        const uint8_t* f = ImageRow(values, y);
        int first = from;
        while (first <= to && !differs(s[first], f[first])) ++first;
        if (first > to) return;
        int last = to;
        while (!differs(s[last], f[last])) --last;
        if (top < 0) top = y;
        bottom = y;
        left = std::min(left, first);
        right = std::max(right, last);
    };
    if (everywhere) {
        for (int y = 0; y < a.canvas.height; ++y) {
            if (!Spend(a.work, uint64_t(a.canvas.width))) return false;
            look(y, 0, a.canvas.width - 1);
        }
    } else {
        for (const Span& span : a.spans) {
            if (!Spend(a.work, uint64_t(span.last - span.first + 1))) return false;
            look(span.y, span.first, span.last);
        }
    }
    *changed = top < 0 ? Rect{0, 0, 0, 0} : Rect{left, top, right - left + 1, bottom - top + 1};
    return true;
}

void Empty(MemBuffer* buffer) {
    buffer->size = 0;
    buffer->cursor = buffer->data;
}

enum class Encoded { kDone, kLonger, kFailed };

// What a block of a frame's rectangle says: its values are the table
// indices of the frame's, and with a transparent index (0 or more) the
// pixels that stay as the canvas shows them are that index instead.
struct BlockValues {
    const Image* values;  // of the canvas's size when `over`
    const Mapping* map;
    Rect rect;
    bool over;
    int transparent;
};

// Row y of the block's rectangle as it is written.
void BlockRow(const GifAnimation& a, const BlockValues& b, int y, uint8_t* out) {
    const Mapping& map = *b.map;
    const uint8_t* f = ImageRow(b.values, b.rect.top + y) + b.rect.left;
    if (b.transparent < 0) {
        for (int x = 0; x < b.rect.width; ++x) out[x] = map.index[f[x]];
        return;
    }
    const uint8_t* s = a.canvas.row(b.rect.top + y) + b.rect.left;
    const auto t = static_cast<uint8_t>(b.transparent);
    for (int x = 0; x < b.rect.width; ++x) out[x] = a.canvasMap.color[s[x]] == map.color[f[x]] ? t : map.index[f[x]];
}

// One image block into `buffer`: head, code size, LZW data, terminator; its
// rows made one at a time, so that a large block needs no copy of itself.
// With a limit, stops as kLonger once the block is sure to be longer than
// that; kFailed when a write fails or the meter stops.
Encoded EncodeBlock(GifAnimation& a, const GifImageHead& head, const BlockValues& block, int maxValue,
                    MemBuffer* buffer, int32_t limit = INT32_MAX) {
    Empty(buffer);
    ByteWriter out(buffer);
    GifWriteImageHead(out, head);
    const int codeSize = std::max(2, GifBitsFor(maxValue + 1));
    out.u8(static_cast<uint32_t>(codeSize));
    if (!out.ok() || !LzwEncodeStart(a.encoder, codeSize, out)) return Encoded::kFailed;
    a.row.resize(size_t(block.rect.width));
    for (int y = 0; y < block.rect.height && out.ok(); ++y) {
        if (!Spend(a.work, uint64_t(block.rect.width))) return Encoded::kFailed;
        BlockRow(a, block, y, a.row.data());
        LzwEncode(a.encoder, a.row.data(), a.row.size(), out);
        if (buffer->size > limit) return Encoded::kLonger;
    }
    LzwEncodeFinish(a.encoder, out);
    out.u8(0);
    if (!out.ok()) return Encoded::kFailed;
    return buffer->size > limit ? Encoded::kLonger : Encoded::kDone;
}

// What a look over a block's rectangle finds: the largest index written,
// that of the pixels that change, and the indices those use.
struct BlockSurvey {
    int maxPlain = 0;
    int maxChanged = 0;
    bool usedByChange[256] = {};
};

// False when the meter stops.
bool Survey(const GifAnimation& a, const BlockValues& b, BlockSurvey* survey) {
    const Mapping& map = *b.map;
    for (int y = 0; y < b.rect.height; ++y) {
        if (!Spend(a.work, uint64_t(b.rect.width))) return false;
        const uint8_t* f = ImageRow(b.values, b.rect.top + y) + b.rect.left;
        const uint8_t* s = b.over ? a.canvas.row(b.rect.top + y) + b.rect.left : nullptr;
        for (int x = 0; x < b.rect.width; ++x) {
            const uint8_t plain = map.index[f[x]];
            survey->maxPlain = std::max<int>(survey->maxPlain, plain);
            if (!s || a.canvasMap.color[s[x]] == map.color[f[x]]) continue;
            survey->maxChanged = std::max<int>(survey->maxChanged, plain);
            survey->usedByChange[plain] = true;
        }
    }
    return true;
}

// Encodes the frame over the canvas into the held block: the rectangle `r`
// that changed, and in it the pixels that did not as the transparent index
// when that is smaller; the whole frame plainly when it is not `over` one of
// its size.
bool EncodeFrame(GifAnimation& a, const Image* values, const Mapping& map, Rect r, bool over) {
    const Table& table = TableOf(a, map);
    const int bits = GifBitsFor(table.count);
    BlockValues block{values, &map, r, over, -1};
    BlockSurvey survey;
    if (!Survey(a, block, &survey)) return false;
    GifImageHead head{r.left, r.top, r.width, r.height, map.global ? nullptr : table.entries, bits, table.count,
                      -1, 1, 0};
    int transparent = -1;
    for (int t = 0; over && t < (1 << bits) && transparent < 0; ++t)
        if (!survey.usedByChange[t]) transparent = t;
    if (transparent < 0) return EncodeBlock(a, head, block, survey.maxPlain, a.held.get()) == Encoded::kDone;

    // The block with the transparent index first: where most of the
    // rectangle stayed, it is the far shorter one, and the plain block is
    // given up as soon as it is longer.
    BlockValues trialBlock = block;
    trialBlock.transparent = transparent;
    GifImageHead trialHead = head;
    trialHead.transparent = transparent;
    if (EncodeBlock(a, trialHead, trialBlock, std::max(transparent, survey.maxChanged), a.held.get()) != Encoded::kDone)
        return false;
    const Encoded plain = EncodeBlock(a, head, block, survey.maxPlain, a.trial.get(), a.held->size);
    if (plain == Encoded::kFailed) return false;
    if (plain == Encoded::kDone) std::swap(a.held, a.trial);  // no longer: the plain block, as it needs no index
    return true;
}

// Writes the held block, with the delays of the frames joined to it.
bool WriteHeld(GifAnimation& a, MemBuffer* out, Status* error) {
    if (!a.holding) return true;
    PutU16(a.held->data + kDelayOffset, GifDelayHundredths(a.heldDelay));
    ByteWriter writer(out);
    writer.write(a.held->data, static_cast<size_t>(a.held->size));
    a.holding = false;
    if (!writer.ok()) *error = kErrorWrite;
    return writer.ok();
}

bool AddFrame(GifAnimation& a, const Image* image, uint32_t delay, MemBuffer* out, Status* error) {
    Mapping map;
    ImagePtr indexed;  // the frame in table indices, when it is above 8 bits
    const bool deep = ImageBitCount(image) > 8;
    if (deep && !IndexDeep(a, image, &indexed, &map)) return false;
    const Image* values = deep ? indexed.get() : EightBit(image, a.unpacked, a.work);
    if (!values) return false;
    const bool over = a.canvas.sameSize(values);
    uint64_t counts[256];
    if (!(over ? FindDifferences(a.canvas, values, a.spans, counts, a.work) : CountValues(values, counts, a.work)))
        return false;
    if (!deep) MapEightBit(a, values, counts, &map);
    Rect changed{0, 0, ImageWidth(values), ImageHeight(values)};
    if (over && !ChangedRect(a, values, map, &changed)) return false;
    if (over && changed.width == 0 && a.heldDelay <= kLongestDelay && delay <= kLongestDelay - a.heldDelay) {
        a.heldDelay += delay;
    } else {
        if (!WriteHeld(a, out, error)) return false;
        // Equal frames too long to join: a pixel that stays as it is.
        if (!EncodeFrame(a, values, map, changed.width ? changed : Rect{0, 0, 1, 1}, over)) return false;
        a.holding = true;
        a.heldDelay = delay;
    }
    if (!TakeFrame(a.canvas, values, over, a.spans, counts, a.work)) return false;
    a.canvasMap = map;
    return true;
}

// Runs a part of the work that fails only when memory runs out or the
// meter stops (cancelled then), or with its own error. Its containers throw
// where memory runs out, for the stream's step to end it.
template <typename Part>
bool Guarded(Status* error, const WorkMeter* meter, Part part) {
    if (part()) return true;
    if (error->ok()) *error = meter ? MeterStatusOr(*meter, kErrorOutOfMemory) : Status(kErrorOutOfMemory);
    return false;
}

// The colours of `first` alone.
GifColorCollector* CollectFirst(const Image* first, WorkMeter* work) {
    std::unique_ptr<GifColorCollector> collector(GifColorCollectorCreate(work));
    if (!collector || !GifColorCollectorAdd(collector.get(), first)) return nullptr;
    return collector.release();
}

}  // namespace

GifColorCollector* GifColorCollectorCreate(WorkMeter* work) {
    auto* collector = new (std::nothrow) GifColorCollector;
    if (collector) collector->work = work;
    return collector;
}

bool GifColorCollectorAdd(GifColorCollector* collector, const Image* frame) {
    ++collector->frames;
    if (ImageBitCount(frame) > 8) return CollectOther(*collector, frame);
    const Image* values = EightBit(frame, collector->unpacked, collector->work);
    return values && CollectEightBit(*collector, values);
}

void GifColorCollectorDestroy(GifColorCollector* collector) { delete collector; }

GifAnimation* GifAnimationStartWith(const Image* first, const GifColorCollector* colors, bool dither, MemBuffer* out,
                                    Status* error, WorkMeter* work) {
    std::unique_ptr<GifAnimation> animation;
    const bool ok = Guarded(error, work, [&] {
        std::unique_ptr<GifColorCollector> ofFirst;
        if (!colors || colors->frames == 0) {
            ofFirst.reset(CollectFirst(first, work));
            if (!ofFirst) return false;
            colors = ofFirst.get();
        }
        animation = std::make_unique<GifAnimation>();
        GifAnimation& a = *animation;
        a.work = work;
        a.dither = dither;
        if (!ChooseTable(*colors, &a.global, work)) return false;
        const Table& table = a.global.table;
        a.globalSorted.assign(table.colors, table.colors + table.count);
        std::sort(a.globalSorted.begin(), a.globalSorted.end());
        a.globalMatcher = std::make_unique<PaletteMatcher>(table.entries, table.count);
        a.held.reset(MemBufferCreate(kMemBufferGrowStep, kBlockGrowStep));
        a.trial.reset(MemBufferCreate(kMemBufferGrowStep, kBlockGrowStep));
        if (!a.held || !a.trial) return false;

        const int bits = GifBitsFor(table.count);
        ByteWriter w(out);
        w.write("GIF89a", 6);
        w.u16(static_cast<uint32_t>(ImageWidth(first)));
        w.u16(static_cast<uint32_t>(ImageHeight(first)));
        w.u8(0x80u | static_cast<uint32_t>((bits - 1) << 4 | (bits - 1)));  // global table
        w.u8(0);
        w.u8(0);
        GifWriteColorTable(w, table.entries, table.count, bits);
        w.write(kLoopForever, sizeof kLoopForever);
        if (!w.ok()) *error = kErrorWrite;
        return w.ok();
    });
    return ok ? animation.release() : nullptr;
}

bool GifAnimationAdd(GifAnimation* a, const Image* image, uint32_t delay, MemBuffer* out, Status* error) {
    return Guarded(error, a->work, [&] { return AddFrame(*a, image, delay, out, error); });
}

bool GifAnimationFinish(GifAnimation* a, MemBuffer* out, Status* error) {
    return Guarded(error, a->work, [&] {
        if (!WriteHeld(*a, out, error)) return false;
        ByteWriter w(out);
        w.u8(0x3B);
        if (!w.ok()) *error = kErrorWrite;
        return w.ok();
    });
}

void GifAnimationDestroy(GifAnimation* animation) { delete animation; }
