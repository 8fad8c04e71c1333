// GIF reader. The file is walked twice: once to find the canvas (the logical
// screen, grown to hold image blocks that do not fit in it), once to decode.
// Each image block becomes one frame: a copy of the previous frame with the
// previous block's disposal applied, with the new block drawn on top.
//
// Frames stay indexed while the colours allow it: a frame whose colour table
// gives the kept pixels of the previous frame the colours they had is stored
// with that table; otherwise the frame is composed in 24 bits so that no
// kept pixel changes colour.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/gif_reader_test.cpp):
// - Image blocks that stick out of the logical screen, or a screen of size 0:
//   the canvas grows to hold them as long as it stays a picture we can hold;
//   past that they are clipped. GifCanvas.GrowsToHoldBlocksThatDoNotFit,
//   GifCanvas.BlocksBeyondThePictureLimitsAreClippedNotGrown
// - Stray bytes between blocks (some encoders pad after image data): passed
//   over, as every peer does. GifBlocks.ExtensionDataIsNeverTakenForBlocks
// - Minimum code sizes above 8, written for few colours: decoded, and roots
//   past 255 keep their low byte. GifLzw.CodeSizesAboveEightStillDecode
// - Image data that ends early or without its end code, and files without
//   their trailer (interrupted downloads): the pixels and frames decoded so
//   far stay, and the load says the file was cut short.
//   GifDamage.DataEndingEarlyKeepsWhatWasDecoded
#include "codecs/gif_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "codecs/gif_lzw.h"
#include "formats/byte_reader.h"

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageIntroducer = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr int kScreenDescriptorSize = 13;

constexpr int kDisposeBackground = 2;
constexpr int kDisposePrevious = 3;

using Palette = std::array<PaletteEntry, 256>;

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool empty() const { return right <= left || bottom <= top; }
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

struct GraphicControl {
    bool transparent = false;
    uint8_t transparentIndex = 0;
    int disposal = 0;
    uint16_t delay = 0;
};

struct Screen {
    int width = 0;
    int height = 0;
    int tableBits = 0;  // 0: no global colour table
    const uint8_t* table = nullptr;
    int backgroundIndex = 0;
};

struct ImageBlock {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    int tableBits = 0;  // of the table in force, local or global; 0: none
    const uint8_t* table = nullptr;
    GraphicControl control;
};

// ---- Block structure --------------------------------------------------------

// Everything of an extension after its introducer. Only the graphic control
// extension is read; all are passed over sub-block by sub-block, so that no
// data byte is ever taken for a block introducer.
void ReadExtension(ByteReader& in, GraphicControl& control) {
    const uint8_t label = in.u8();
    if (label == kGraphicControlLabel && !in.atEnd()) {
        const uint8_t length = in.u8();
        if (length == 0) return;  // the terminator: an empty extension
        const uint8_t* fields = in.take(length);
        if (!fields) return;
        if (length >= 4) {
            control.transparent = fields[0] & 1;
            control.disposal = (fields[0] >> 2) & 7;
            control.delay = static_cast<uint16_t>(fields[1] | (fields[2] << 8));
            control.transparentIndex = fields[3];
        }
    }
    SkipSubBlocks(in);
}

// Walks blocks up to the next image descriptor and its colour table, leaving
// `in` at the block's code size byte. False at the trailer (`trailer` set) or
// the end of the file. The graphic control extension before a block applies
// to that block only.
bool NextImageBlock(ByteReader& in, const Screen& screen, ImageBlock& block, bool& trailer) {
    GraphicControl control;
    while (!in.atEnd()) {
        const uint8_t introducer = in.u8();
        if (introducer == kTrailer) return trailer = true, false;
        if (introducer == kExtensionIntroducer) {
            ReadExtension(in, control);
            continue;
        }
        // Stray bytes between blocks are passed over, as every peer does
        // (some encoders pad after image data).
        if (introducer != kImageIntroducer) continue;
        const uint8_t* d = in.take(9);
        if (!d) return false;
        block.left = d[0] | (d[1] << 8);
        block.top = d[2] | (d[3] << 8);
        block.width = d[4] | (d[5] << 8);
        block.height = d[6] | (d[7] << 8);
        block.interlaced = d[8] & 0x40;
        if (d[8] & 0x80) {
            block.tableBits = (d[8] & 7) + 1;
            block.table = in.take(size_t{3} << block.tableBits);
            if (!block.table) return false;
        } else {
            block.tableBits = screen.tableBits;
            block.table = screen.table;
        }
        block.control = control;
        return true;
    }
    return false;
}

bool ReadScreen(ByteReader& in, Screen& screen) {
    if (in.size() < kScreenDescriptorSize) return false;
    screen.width = in.u16At(6);
    screen.height = in.u16At(8);
    const uint8_t packed = in.data()[10];
    in.seek(kScreenDescriptorSize);
    if (packed & 0x80) {
        screen.tableBits = (packed & 7) + 1;
        screen.table = in.take(size_t{3} << screen.tableBits);
        if (!screen.table) return false;
        screen.backgroundIndex = in.data()[11];
    }
    return true;
}

// The canvas: the logical screen, grown to hold every image block that does
// not fit in it, as long as the grown canvas stays a picture we can hold;
// blocks beyond that are clipped. `blocks` takes how many image blocks there are.
void CanvasSize(ByteReader in, const Screen& screen, int& width, int& height, int& blocks) {
    width = screen.width;
    height = screen.height;
    blocks = 0;
    ImageBlock block;
    bool trailer = false;
    while (NextImageBlock(in, screen, block, trailer)) {
        in.u8();  // code size
        SkipSubBlocks(in);
        ++blocks;
        if (block.width == 0 || block.height == 0) continue;
        const int64_t right = std::max<int64_t>(width, int64_t{block.left} + block.width);
        const int64_t bottom = std::max<int64_t>(height, int64_t{block.top} + block.height);
        if (right == width && bottom == height) continue;
        if (right > kImageMaxDimension || bottom > kImageMaxDimension) continue;
        if (DibStride(right, 8) * uint64_t(bottom) > kImageMaxBitsSize) continue;
        width = static_cast<int>(right);
        height = static_cast<int>(bottom);
    }
}

// ---- Pixels -------------------------------------------------------------------

// Indexed pixels in a row, most significant bits first, without going
// through the image's accessors: whole frames pass through these.
inline uint32_t IndexAt(const uint8_t* row, int depth, int x) {
    if (depth == 8) return row[x];
    const int bit = x * depth;
    return (row[bit >> 3] >> (8 - depth - (bit & 7))) & ((1u << depth) - 1);
}

inline void PutIndex(uint8_t* row, int depth, int x, uint32_t value) {
    if (depth == 8) {
        row[x] = static_cast<uint8_t>(value);
        return;
    }
    const int bit = x * depth;
    const int shift = 8 - depth - (bit & 7);
    const uint32_t mask = ((1u << depth) - 1) << shift;
    row[bit >> 3] = static_cast<uint8_t>((row[bit >> 3] & ~mask) | ((value << shift) & mask));
}

// Copies `count` 8-bit values but those equal to `transparent`, which leave
// the target as it was; eight at a time, each byte of a word selected by a
// mask that is all ones where the value differs from `transparent`.
void CopyOpaque(const uint8_t* in, uint8_t* out, int count, uint8_t transparent) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full, kOnes = 0x0101010101010101ull;
    const uint64_t pattern = kOnes * transparent;
    int x = 0;
    for (; x + 8 <= count; x += 8) {
        uint64_t values, old;
        std::memcpy(&values, in + x, 8);
        std::memcpy(&old, out + x, 8);
        const uint64_t diff = values ^ pattern;
        // Bit 7 of each byte set where the byte of `diff` is not 0 (no carry
        // crosses a byte: each sum is at most 0xFE).
        const uint64_t nonzero = (((diff & kLow7) + kLow7) | diff) & ~kLow7;
        const uint64_t keep = (nonzero >> 7) * 0xFF;
        values = (values & keep) | (old & ~keep);
        std::memcpy(out + x, &values, 8);
    }
    for (; x < count; ++x)
        if (in[x] != transparent) out[x] = in[x];
}

inline void PutColor(uint8_t* row, int x, const PaletteEntry& e) {
    uint8_t* p = row + x * 3;
    p[0] = e.blue, p[1] = e.green, p[2] = e.red;
}

// Where decoded pixels go: rows of the image block, in interlaced order when
// the block is interlaced, clipped to the canvas when placed on the frame.
//
// Only what reaches the canvas costs work: a string is written only where it
// falls on a visible column of a visible row, rows below the canvas are
// passed over by arithmetic, and the block is done once no row to come can
// show (after the last visible row of the last pass). Within a pass, rows
// only go down, so once one is below the canvas the rest of the pass is.
class RowPlacer {
public:
    RowPlacer(Image* frame, const ImageBlock& block, const Palette& palette, uint8_t* row)
        : frame_(frame), palette_(palette), row_(row), block_(block) {
        columns_ = VisibleColumns(frame, block);
        rowsLeft_ = block.height;
        step_ = block.interlaced ? 8 : 1;
        settle();
    }

    // The columns of each row on the canvas (blocks never start left of it).
    static int VisibleColumns(const Image* frame, const ImageBlock& block) {
        return static_cast<int>(std::clamp<int64_t>(int64_t{ImageWidth(frame)} - block.left, 0, block.width));
    }

    // Nothing more of the block can show.
    bool done() const { return rowsLeft_ == 0 || columns_ == 0 || (!visible_ && (!block_.interlaced || pass_ == 3)); }

    // Data that ends inside a row still shows the pixels it gave.
    void finish() {
        if (visible_ && x_ > 0) placeRow(std::min(x_, columns_));
    }

    // The string of `code`, after the pixels so far. Returns the work done,
    // in bytes of strings walked.
    int put(const LzwTable& table, int code) {
        int length = table.length[code];
        if (length <= block_.width - x_) {
            int work = 0;
            if (visible_ && x_ < columns_) work = LzwStringPrefix(table, code, std::min(length, columns_ - x_), row_ + x_);
            x_ += length;
            if (x_ == block_.width) endRow();
            return work;
        }
        // A string that spans rows is assembled once, when some of it shows.
        int offset = 0, work = 0;
        bool assembled = false;
        while (length > 0 && rowsLeft_ > 0) {
            if (!visible_) {
                const int skipped = skipHiddenRows(length);
                offset += skipped, length -= skipped;
                continue;
            }
            const int n = std::min(length, block_.width - x_);
            const int shown = std::min(n, columns_ - x_);
            if (shown > 0) {
                if (!assembled) {
                    LzwString(table, code, string_);
                    work += table.length[code];
                    assembled = true;
                }
                std::memcpy(row_ + x_, string_ + offset, static_cast<size_t>(shown));
            }
            offset += n, length -= n, x_ += n;
            if (x_ == block_.width) endRow();
        }
        return work;
    }

private:
    // Passes over up to `length` pixels of rows that cannot show: those left
    // of the current pass, which are all below the canvas. Returns how many.
    int skipHiddenRows(int length) {
        const int64_t rows = (int64_t{block_.height} - 1 - y_) / step_ + 1;
        const int64_t pixels = rows * block_.width - x_;
        if (length < pixels) {
            const int64_t end = int64_t{x_} + length;
            const int64_t done = end / block_.width;
            x_ = static_cast<int>(end % block_.width);
            y_ += static_cast<int>(done) * step_;
            rowsLeft_ -= static_cast<int>(done);
            return length;
        }
        x_ = 0;
        rowsLeft_ -= static_cast<int>(rows);
        y_ = block_.height;  // past the pass: the next one starts
        settle();
        return static_cast<int>(pixels);
    }

    void endRow() {
        if (visible_) placeRow(columns_);
        x_ = 0;
        --rowsLeft_;
        y_ += step_;
        settle();
    }

    // Interlaced passes: every 8th row from 0, every 8th from 4, every 4th
    // from 2, every 2nd from 1; a pass with no rows is skipped.
    void settle() {
        static constexpr int kPassStart[] = {0, 4, 2, 1};
        static constexpr int kPassStep[] = {8, 8, 4, 2};
        while (block_.interlaced && y_ >= block_.height && pass_ < 3) {
            ++pass_;
            y_ = kPassStart[pass_];
            step_ = kPassStep[pass_];
        }
        const int64_t y = int64_t{block_.top} + y_;
        visible_ = rowsLeft_ > 0 && y < ImageHeight(frame_) && columns_ > 0;
    }

    void placeRow(int columns) {
        uint8_t* out = ImageRow(frame_, block_.top + y_);
        const GraphicControl& control = block_.control;
        const int depth = ImageBitCount(frame_);
        if (depth == 8) {
            if (control.transparent) CopyOpaque(row_, out + block_.left, columns, control.transparentIndex);
            else std::memcpy(out + block_.left, row_, static_cast<size_t>(columns));
            return;
        }
        for (int x = 0; x < columns; ++x) {
            const uint8_t v = row_[x];
            if (control.transparent && v == control.transparentIndex) continue;
            if (depth == 24) PutColor(out, block_.left + x, palette_[v]);
            else PutIndex(out, depth, block_.left + x, v);
        }
    }

    Image* frame_;
    const Palette& palette_;
    uint8_t* row_;  // the visible columns of the row being decoded
    const ImageBlock& block_;
    int columns_ = 0;
    int x_ = 0, y_ = 0;  // the next pixel, in block coordinates
    int rowsLeft_ = 0;
    int step_ = 1;
    int pass_ = 0;
    bool visible_ = false;
    uint8_t string_[kLzwMaxCodes];
};

// ---- Composition ----------------------------------------------------------------

int DepthForTable(int tableBits) {
    if (tableBits == 0) return 8;  // no colour table: grey levels
    if (tableBits == 1) return 1;
    return tableBits <= 4 ? 4 : 8;
}

// The colours of the block's table, black past its end. A block without any
// table shows its values as grey levels, as Pillow does.
void BlockPalette(const ImageBlock& block, Palette& palette) {
    palette.fill(PaletteEntry{0, 0, 0, 0});
    if (!block.table) {
        for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
        return;
    }
    PaletteExpand(palette.data(), block.table, 1 << block.tableBits, 0);
}

bool SameColor(const PaletteEntry& a, const PaletteEntry& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// For a block to be disposed of by restoring: the pixels its area had before
// it was drawn, rows of `stride` bytes in the format of the frame it was
// drawn on. Row 0, column 0 is the area's top left pixel rounded down to a
// multiple of 8 columns, so that every pixel keeps its place within a byte.
// The block of memory is kept from one area to the next and only grows; the
// budget holds its size.
struct SavedArea {
    explicit SavedArea(const LoadBudget& budget) : held(budget) {}
    ~SavedArea() { MemFree(bytes); }
    uint8_t* row(int y) const { return bytes + stride * static_cast<size_t>(y); }

    uint8_t* bytes = nullptr;
    size_t capacity = 0;
    BudgetBytes held;  // `capacity` of the budget
    size_t stride = 0;
    int depth = 0;
    bool valid = false;
    Palette palette{};
};

struct Composer {
    explicit Composer(LoadRequest* request) : budget(request), saved(budget) {}

    LoadBudget budget;
    int width = 0, height = 0;
    PaletteEntry background{};  // the logical screen's background colour
    int backgroundIndex = 0;

    const Image* last = nullptr;  // the frame before the next one, already handed over
    BudgetImage ownLast;          // or a copy of its own (in a clone)
    Palette lastPalette{};  // of `last`, when it is indexed
    int lastDisposal = 0;
    Rect lastArea;          // of the block drawn on `last`, on the canvas
    SavedArea saved;        // of the block drawn on `last`
};

uint32_t RgbValue(const PaletteEntry& e) { return e.blue | (uint32_t{e.green} << 8) | (uint32_t{e.red} << 16); }

// Copies runs of pixels from rows of one depth to rows of another: values as
// they are from an indexed depth to the same or a greater one, colours
// through a palette from an indexed depth to 24 bits. Where source and target
// pixels have the same place within their bytes, whole bytes are copied (or
// widened through a table of what each source byte becomes); only the pixels
// of a byte the run covers in part go one by one, and the pixels around the
// run are left as they are. Bytes copied as they are are written only where
// they change, so that restoring black onto a black canvas touches nothing.
class RowCopier {
public:
    RowCopier(int from, int to, const Palette& palette) : from_(from), to_(to), palette_(palette) {
        if (from_ >= to_ || to_ > 8) return;
        ratio_ = to_ / from_;
        for (int value = 0; value < 256; ++value) {
            const uint8_t byte = static_cast<uint8_t>(value);
            for (int x = 0; x < 8 / from_; ++x) PutIndex(wide_[byte].data(), to_, x, IndexAt(&byte, from_, x));
        }
    }

    void copy(const uint8_t* in, int inX, uint8_t* out, int outX, int count) const {
        if (count <= 0) return;
        if (to_ == 24) {
            if (from_ == 24) CopyChanged(out + size_t{3} * outX, in + size_t{3} * inX, size_t{3} * count);
            else
                for (int i = 0; i < count; ++i) PutColor(out, outX + i, palette_[IndexAt(in, from_, inX + i)]);
            return;
        }
        if (from_ == 8) {
            CopyChanged(out + outX, in + inX, static_cast<size_t>(count));
            return;
        }
        const int perByte = 8 / from_;
        const auto one = [&] {
            const uint32_t value = IndexAt(in, from_, inX++);
            if (IndexAt(out, to_, outX) != value) PutIndex(out, to_, outX, value);
            ++outX, --count;
        };
        if ((inX - outX) % perByte != 0) {
            while (count > 0) one();
            return;
        }
        while (count > 0 && inX % perByte != 0) one();
        const int bytes = count / perByte;
        const uint8_t* source = in + inX / perByte;
        uint8_t* target = out + outX / perByte * ratio_;
        switch (ratio_) {
            case 1: CopyChanged(target, source, static_cast<size_t>(bytes)); break;
            case 2: widen<2>(source, target, bytes); break;
            case 4: widen<4>(source, target, bytes); break;
            default: widen<8>(source, target, bytes); break;
        }
        inX += bytes * perByte, outX += bytes * perByte, count -= bytes * perByte;
        while (count > 0) one();
    }

private:
    template <int ratio>
    void widen(const uint8_t* source, uint8_t* target, int bytes) const {
        for (int i = 0; i < bytes; ++i, target += ratio) std::memcpy(target, wide_[source[i]].data(), ratio);
    }

    int from_, to_;
    Palette palette_;
    int ratio_ = 1;                                    // target bytes per source byte, when widening
    std::array<std::array<uint8_t, 8>, 256> wide_{};  // what each source byte becomes, when widening
};

// An indexed image at a greater depth: values unchanged at 8 bits or less,
// colours of `palette` at 24.
Image* Widen(const Image* source, int depth, const Palette& palette) {
    Image* image = ImageCreate(ImageWidth(source), ImageHeight(source), depth);
    if (!image) return nullptr;
    const RowCopier copier(ImageBitCount(source), depth, palette);
    for (int y = 0; y < ImageHeight(source); ++y) copier.copy(ImageRow(source, y), 0, ImageRow(image, y), 0, ImageWidth(source));
    return image;
}

void FillRect(Image* image, const Rect& area, uint32_t value) {
    if (area.empty()) return;
    const int depth = ImageBitCount(image);
    if (depth == 24) {
        // One row pixel by pixel, the others copied from it.
        const PaletteEntry color{uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value), 0};
        uint8_t* first = ImageRow(image, area.top);
        for (int x = area.left; x < area.right; ++x) PutColor(first, x, color);
        const size_t offset = size_t{3} * area.left, bytes = size_t{3} * area.width();
        for (int y = area.top + 1; y < area.bottom; ++y) std::memcpy(ImageRow(image, y) + offset, first + offset, bytes);
        return;
    }
    // The value repeated over whole bytes; the pixels of a byte the area
    // covers in part one by one.
    const int perByte = 8 / depth;
    uint32_t pattern = 0;
    for (int i = 0; i < perByte; ++i) pattern = (pattern << depth) | (value & ((1u << depth) - 1));
    const int wholeFrom = std::min((area.left + perByte - 1) / perByte * perByte, area.right);
    const int wholeTo = std::max(area.right / perByte * perByte, wholeFrom);
    for (int y = area.top; y < area.bottom; ++y) {
        uint8_t* row = ImageRow(image, y);
        for (int x = area.left; x < wholeFrom; ++x) PutIndex(row, depth, x, value);
        std::memset(row + wholeFrom / perByte, static_cast<int>(pattern), static_cast<size_t>((wholeTo - wholeFrom) / perByte));
        for (int x = wholeTo; x < area.right; ++x) PutIndex(row, depth, x, value);
    }
}

// An index of `palette` within `depth` bits that shows the background colour,
// the background index first; -1 when there is none.
int BackgroundIndexIn(const Palette& palette, int depth, const Composer& c) {
    const int count = 1 << depth;
    if (c.backgroundIndex < count && SameColor(palette[c.backgroundIndex], c.background)) return c.backgroundIndex;
    for (int i = 0; i < count; ++i)
        if (SameColor(palette[i], c.background)) return i;
    return -1;
}

// What the previous block's disposal leaves on the canvas: nothing to do for
// 0 and 1 (and the undefined 4 to 7); its area cleared to the background for
// 2; its area as it was before the block was drawn for 3.
void Dispose(const Composer& c, Image* frame, int backgroundValue) {
    if (c.lastDisposal == kDisposeBackground) {
        FillRect(frame, c.lastArea, ImageBitCount(frame) <= 8 ? uint32_t(backgroundValue) : RgbValue(c.background));
    } else if (c.lastDisposal == kDisposePrevious && c.saved.valid) {
        const RowCopier copier(c.saved.depth, ImageBitCount(frame), c.saved.palette);
        const Rect& area = c.lastArea;
        for (int y = 0; y < area.height(); ++y)
            copier.copy(c.saved.row(y), area.left % 8, ImageRow(frame, area.top + y), area.left, area.width());
    }
}

// The frame a block is drawn on, before drawing: a fresh canvas, or the
// previous frame with its block disposed of. None when memory runs out.
BudgetImage StartFrame(Composer& c, const Palette& palette, int depth, const Rect& area, const GraphicControl& control) {
    // Nothing of the previous frame can show through a block that covers the
    // whole canvas with opaque pixels, unless it is to come back later.
    const bool covers = area.left == 0 && area.top == 0 && area.right == c.width && area.bottom == c.height;
    if (!c.last || (covers && !control.transparent && control.disposal != kDisposePrevious)) {
        BudgetImage frame = c.budget.createImage(c.width, c.height, depth);
        if (frame) ImageSetPalette(frame.get(), palette.data());
        return frame;
    }
    const int lastDepth = ImageBitCount(c.last);
    bool indexed = lastDepth <= 8;
    for (int i = 0; indexed && i < (1 << lastDepth); ++i) indexed = SameColor(palette[i], c.lastPalette[i]);
    depth = std::max(depth, lastDepth);
    int backgroundValue = 0;
    if (indexed && c.lastDisposal == kDisposeBackground) {
        backgroundValue = BackgroundIndexIn(palette, depth, c);
        indexed = backgroundValue >= 0;
    }
    if (!indexed) depth = 24;
    BudgetImage made = c.budget.made(c.width, c.height, depth, [&] {
        return depth == lastDepth ? ImageDuplicate(c.last) : Widen(c.last, depth, c.lastPalette);
    });
    Image* frame = made.get();
    if (!frame) return {};
    frame->format = nullptr;  // the copy names no format
    Dispose(c, frame, backgroundValue);
    if (indexed) ImageSetPalette(frame, palette.data());
    return made;
}

// Keeps the pixels under `area` for a block that is disposed of by
// restoring. False when they do not fit in the load's budget or in memory.
bool SaveArea(Composer& c, const Image* frame, const Palette& palette, const Rect& area) {
    SavedArea& saved = c.saved;
    saved.valid = false;
    if (area.empty()) return true;
    const int depth = ImageBitCount(frame);
    const int from = area.left / 8 * 8;
    const size_t stride = (static_cast<size_t>(area.right - from) * static_cast<size_t>(depth) + 7) / 8;
    const size_t size = stride * static_cast<size_t>(area.height());
    if (size > saved.capacity) {
        if (!saved.held.hold(size)) return false;
        MemFree(saved.bytes);
        saved.capacity = 0;
        saved.bytes = static_cast<uint8_t*>(MemAllocZeroed(size));
        if (!saved.bytes) return false;
        saved.capacity = size;
    }
    saved.stride = stride;
    saved.depth = depth;
    saved.palette = palette;
    saved.valid = true;
    const RowCopier copier(depth, depth, palette);
    for (int y = 0; y < area.height(); ++y)
        copier.copy(ImageRow(frame, area.top + y), area.left, saved.row(y), area.left - from, area.width());
    return true;
}

// Decodes the block's data into `frame` through `row`, a row's visible
// columns. Each end of the data leaves the pixels it did not give as the
// frame had them: the end code (the data says it is complete), data that
// runs out (at its terminator, or where the file was cut: the load then
// ends after this frame, when no block follows), a first code without an
// entry (damage), and the work spent.
void DecodePixels(Image* frame, const ImageBlock& block, const Palette& palette, uint8_t* row, int minCodeSize,
                  LzwCodeReader& codes, LzwTable& table, WorkMeter& work) {
    RowPlacer placer(frame, block, palette, row);
    LzwDecoder decoder;
    if (!LzwDecodeStart(decoder, table, minCodeSize)) return;
    int code = 0;
    while (!placer.done() && LzwDecodeNext(decoder, codes, code) == LzwResult::kOk)
        if (!work.spend(1 + uint64_t(placer.put(table, code)))) break;
    placer.finish();
}

// Decodes one image block into a new frame. None when the frame, the area
// it is to restore later, or its row buffer could not be had (out of memory
// or over the load's budget).
BudgetImage DecodeBlock(Composer& c, ByteReader& in, const ImageBlock& block, LzwTable& table, WorkMeter& work) {
    Palette palette;
    BlockPalette(block, palette);
    Rect area;
    area.left = std::min(block.left, c.width);
    area.top = std::min(block.top, c.height);
    area.right = static_cast<int>(std::min<int64_t>(int64_t{block.left} + block.width, c.width));
    area.bottom = static_cast<int>(std::min<int64_t>(int64_t{block.top} + block.height, c.height));
    if (area.empty()) area = Rect{};

    BudgetImage made = StartFrame(c, palette, DepthForTable(block.tableBits), area, block.control);
    Image* frame = made.get();
    if (!frame) return {};
    if (block.control.disposal == kDisposePrevious && !SaveArea(c, frame, palette, area)) return {};

    const int minCodeSize = in.u8();
    LzwCodeReader codes(in);
    const int columns = RowPlacer::VisibleColumns(frame, block);
    if (block.width > 0 && block.height > 0 && columns > 0) {
        // The row buffer counts in the budget as the frames do.
        const uint64_t rowBytes = uint64_t(columns);
        if (!c.budget.take(rowBytes)) return {};
        auto* row = static_cast<uint8_t*>(MemAlloc(size_t(columns)));
        if (row) DecodePixels(frame, block, palette, row, minCodeSize, codes, table, work);
        MemFree(row);
        c.budget.give(rowBytes);
        if (!row) return {};
    }
    codes.finish();

    ImageSetDelay(frame, GifDelayMs(block.control.delay));
    c.ownLast.reset();
    c.last = frame;
    c.lastPalette = palette;
    c.lastDisposal = block.control.disposal;
    c.lastArea = area;
    return made;
}

}  // namespace

uint32_t GifDelayMs(uint16_t hundredths) { return hundredths <= 1 ? 100 : hundredths * 10u; }

int GifProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    return file.u32At(0) == 0x38464947 && file.ok();  // "GIF8"
}

namespace {

class GifDecoder : public FrameDecoder {
public:
    explicit GifDecoder(LoadRequest* request) : c_(request), work_(request->work) {}
    ~GifDecoder() override { MemFree(table_); }

    // Reads the screen; false, with the request's error, when it is no GIF.
    bool open(LoadRequest* request) {
        in_ = ByteReader(request->data, request->size);
        if (!ReadScreen(in_, screen_)) return Fail(request, kErrorInvalidData);
        CanvasSize(in_, screen_, c_.width, c_.height, blocks_);
        if (c_.width == 0 || c_.height == 0) return Fail(request, kErrorInvalidData);
        request->work.earn(uint64_t(c_.width) * uint64_t(c_.height));  // the first frame's
        if (screen_.table) {
            Palette global{};
            PaletteExpand(global.data(), screen_.table, 1 << screen_.tableBits, 0);
            c_.backgroundIndex = screen_.backgroundIndex;
            c_.background = global[screen_.backgroundIndex];
        }
        table_ = static_cast<LzwTable*>(MemAlloc(sizeof(LzwTable)));
        return table_ || Fail(request, kErrorOutOfMemory);
    }

    // No frame count is stated: the frames end at the trailer, and a file
    // that ends before it was cut short after the frames it gave.
    BudgetImage next(Status* stop) override {
        // A load that has spent its work, or was stopped, ends after the
        // frame it stopped in.
        if (work_.stopped()) {
            *stop = MeterStatus(work_, decoded_);
            return {};
        }
        ImageBlock block;
        if (!NextImageBlock(in_, screen_, block, trailer_)) {
            *stop = trailer_ ? Status::End() : Status::Damaged("a block cannot be read", decoded_);
            return {};
        }
        BudgetImage frame = DecodeBlock(c_, in_, block, *table_, work_);
        if (!frame) {  // the frames decoded so far are kept
            *stop = MeterStatusOr(work_, {kErrorOutOfMemory, nullptr, decoded_});
            return {};
        }
        ++decoded_;
        *stop = {};
        return frame;
    }

    DecoderPtr clone(LoadRequest* request) const override {
        auto copy = MakeDecoder<GifDecoder>(request);
        if (!copy) return nullptr;
        copy->in_ = in_;
        copy->screen_ = screen_;
        copy->blocks_ = blocks_;
        copy->trailer_ = trailer_;
        copy->decoded_ = decoded_;
        Composer& c = copy->c_;
        const Composer& from = c_;
        c.width = from.width, c.height = from.height;
        c.background = from.background, c.backgroundIndex = from.backgroundIndex;
        c.lastPalette = from.lastPalette, c.lastDisposal = from.lastDisposal, c.lastArea = from.lastArea;
        copy->table_ = static_cast<LzwTable*>(MemAlloc(sizeof(LzwTable)));
        if (!copy->table_) return nullptr;
        if (from.last) {
            c.ownLast = c.budget.duplicateImage(from.last);
            if (!c.ownLast) return nullptr;
            c.last = c.ownLast.get();
        }
        if (from.saved.capacity > 0) {
            if (!c.saved.held.hold(from.saved.capacity)) return nullptr;
            c.saved.bytes = static_cast<uint8_t*>(MemAlloc(from.saved.capacity));
            if (!c.saved.bytes) return nullptr;
            c.saved.capacity = from.saved.capacity;
            std::memcpy(c.saved.bytes, from.saved.bytes, from.saved.capacity);
            c.saved.stride = from.saved.stride, c.saved.depth = from.saved.depth;
            c.saved.valid = from.saved.valid, c.saved.palette = from.saved.palette;
        }
        return copy;
    }

    uint64_t footprint() const override {
        return sizeof(GifDecoder) + sizeof(LzwTable) + c_.saved.capacity +
               (c_.last ? LoadBudget::ImageFootprint(c_.last) : 0);
    }
    int32_t frames() const override { return blocks_; }

private:
    ByteReader in_;
    Screen screen_;
    Composer c_;
    WorkMeter& work_;
    LzwTable* table_ = nullptr;
    int blocks_ = 0;  // the image blocks of the file
    int decoded_ = 0;
    bool trailer_ = false;
};

}  // namespace

DecoderPtr GifOpen(LoadRequest* request) {
    auto decoder = MakeDecoder<GifDecoder>(request);
    if (!decoder) return Fail(request, kErrorOutOfMemory);
    if (!decoder->open(request)) return nullptr;
    return decoder;
}

// The delays of the graphic control extensions before the image blocks,
// the blocks walked as CanvasSize walks them: their data is passed over
// sub-block by sub-block, never decoded.
uint64_t GifDuration(const LoadRequest* request, int32_t frames, uint32_t* each) {
    ByteReader in(request->data, request->size);
    Screen screen;
    if (!ReadScreen(in, screen)) return 0;
    uint64_t total = 0;
    ImageBlock block;
    bool trailer = false;
    for (int32_t f = 0; f < frames && NextImageBlock(in, screen, block, trailer); ++f) {
        in.u8();  // code size
        SkipSubBlocks(in);
        if (each) each[f] = GifDelayMs(block.control.delay);
        total += GifDelayMs(block.control.delay);
    }
    return total;
}



