// FLIC decoder: one complete 8-bit image with its own palette and delay per
// frame chunk, frame by frame, for a frame source (formats/frame_source.h).
//
// Deltas are applied to one top-down working picture kept by the decoder;
// after each frame chunk a copy of it becomes the frame's image.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/flic_test.cpp):
// - The last chunk states its size a pad byte too long (serenity.fli,
//   hopper.fli): every chunk ends at its parent's end. OverstatedChunkSizesEndAtTheFile
// - The last frame chunk states a size well past the end of the file, its
//   subchunks all there: the frame is whole and shown; a frame whose
//   subchunks the end of the file cuts is damage. OverstatedChunkSizesEndAtTheFile
// - A frame counts more subchunks than it holds: it ends where its bytes do.
//   OverstatedChunkSizesEndAtTheFile
// - BYTE_RUN's per-row packet count overflows on wide pictures: it is ignored
//   and each row runs until it is full. ByteRunIgnoresThePacketCountByte
// - Animator Pro's CEL files state a copy chunk 2 bytes short: its pixels run
//   on to the end of the frame. ShortCopyChunkReadsOnToTheEndOfItsFrame
// - Chunks at frame level that are no frames (the 0xF100 prefix): passed over.
//   PrefixChunksAreNoFramesAndTheRingFrameIsNotRead
// - Files cut short (interrupted downloads): the frames before the damaged
//   one are kept and the load says so. FramesBeforeTheDamageAreKept
// - Packets that run past a row or the picture are cut there; colour entries
//   past 255 are dropped. WritesStayInsideThePicture
#include "codecs/flic.h"

#include <array>
#include <cstring>
#include <new>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"

namespace {

using Palette = std::array<uint8_t, 768>;

// The working picture: top-down rows of `stride` bytes, the image's stride,
// so that a packet may run into the padding but never past the row.
//
// It also remembers what has been drawn since the picture was last black, so
// that a BLACK chunk clears only that: its cost follows the input that drew
// the pixels, not the picture's size, however many BLACK chunks a frame holds.
// Per row, bytes [drawnFrom, drawnTo) and, apart, the last pixel, which the
// FLC delta sets for two bytes of input.
struct Canvas {
    uint8_t* pixels;
    int width;
    int height;
    int stride;
    uint32_t* drawnFrom;
    uint32_t* drawnTo;
    uint8_t* lastPixelDrawn;
    int32_t* drawnRows;  // the rows with something drawn, each once
    int drawnRowCount;

    uint8_t* row(int64_t y) { return pixels + static_cast<size_t>(y) * static_cast<size_t>(stride); }

    void noteRow(int64_t y) {
        if (drawnFrom[y] == drawnTo[y] && !lastPixelDrawn[y]) drawnRows[drawnRowCount++] = static_cast<int32_t>(y);
    }
    void noteDrawn(int64_t y, int64_t from, int64_t to) {
        if (from >= to) return;
        noteRow(y);
        if (drawnFrom[y] == drawnTo[y]) {
            drawnFrom[y] = static_cast<uint32_t>(from);
            drawnTo[y] = static_cast<uint32_t>(to);
            return;
        }
        if (from < drawnFrom[y]) drawnFrom[y] = static_cast<uint32_t>(from);
        if (to > drawnTo[y]) drawnTo[y] = static_cast<uint32_t>(to);
    }
    void setLastPixel(int64_t y, uint8_t value) {
        noteRow(y);
        lastPixelDrawn[y] = 1;
        row(y)[width - 1] = value;
    }
    void clear() {
        for (int i = 0; i < drawnRowCount; ++i) {
            const int32_t y = drawnRows[i];
            std::memset(row(y) + drawnFrom[y], 0, drawnTo[y] - drawnFrom[y]);
            if (lastPixelDrawn[y]) row(y)[width - 1] = 0;
            drawnFrom[y] = drawnTo[y] = 0;
            lastPixelDrawn[y] = 0;
        }
        drawnRowCount = 0;
    }
};

void PutBytes(Canvas& canvas, int64_t y, int64_t column, const uint8_t* source, int64_t count) {
    if (column >= canvas.stride) return;
    const int64_t n = count < canvas.stride - column ? count : canvas.stride - column;
    std::memcpy(canvas.row(y) + column, source, static_cast<size_t>(n));
    canvas.noteDrawn(y, column, column + n);
}

void FillBytes(Canvas& canvas, int64_t y, int64_t column, uint8_t value, int64_t count) {
    if (column >= canvas.stride) return;
    const int64_t n = count < canvas.stride - column ? count : canvas.stride - column;
    std::memset(canvas.row(y) + column, value, static_cast<size_t>(n));
    canvas.noteDrawn(y, column, column + n);
}

void FillPairs(Canvas& canvas, int64_t y, int64_t column, const uint8_t* pair, int64_t pairs) {
    if (column >= canvas.stride) return;
    uint8_t* row = canvas.row(y);
    int64_t i = 0;
    for (; i < pairs * 2 && column + i < canvas.stride; ++i) row[column + i] = pair[i & 1];
    canvas.noteDrawn(y, column, column + i);
}

// COLOR_256 and COLOR_64: every packet applies; each packet's skip counts
// from the entry after the previous packet's last one.
bool DecodeColor(ByteReader& in, Palette& palette, bool sixBit, WorkMeter& work) {
    const int packets = in.u16();
    int index = 0;
    for (int p = 0; p < packets && in.ok(); ++p) {
        index += in.u8();
        int count = in.u8();
        if (count == 0) count = 256;
        if (!work.spend(1 + uint64_t(count))) return false;
        for (int i = 0; i < count; ++i, ++index) {
            const uint8_t* rgb = in.take(3);
            if (!rgb) return false;
            if (index > 255) continue;  // entries past the end are dropped
            for (int c = 0; c < 3; ++c)
                palette[static_cast<size_t>(index) * 3 + c] = sixBit ? static_cast<uint8_t>(rgb[c] << 2) : rgb[c];
        }
    }
    return in.ok();
}

// BYTE_RUN: the per-row packet count byte overflows on wide images and
// writers rely on readers ignoring it, so each row runs until it is full.
bool DecodeByteRun(ByteReader& in, Canvas& canvas, WorkMeter& work) {
    for (int y = 0; y < canvas.height; ++y) {
        in.u8();  // packet count, ignored
        int64_t column = 0;
        while (column < canvas.width) {
            const int count = in.s8();
            if (!in.ok() || !work.spend(1 + uint64_t(count < 0 ? -count : count))) return false;
            if (count < 0) {
                const uint8_t* run = in.take(static_cast<size_t>(-count));
                if (!run) return false;
                PutBytes(canvas, y, column, run, -count);
                column += -count;
            } else {
                const uint8_t value = in.u8();
                FillBytes(canvas, y, column, value, count);
                column += count;
            }
        }
    }
    return in.ok();
}

// DELTA_FLI: byte-oriented line delta.
bool DecodeDeltaFli(ByteReader& in, Canvas& canvas, WorkMeter& work) {
    const int64_t firstRow = in.u16();
    const int rows = in.u16();
    for (int i = 0; i < rows && in.ok(); ++i) {
        const int64_t y = firstRow + i;
        if (y >= canvas.height) break;
        const int packets = in.u8();
        int64_t column = 0;
        if (!work.spend(1)) return false;
        for (int p = 0; p < packets; ++p) {
            column += in.u8();
            const int count = in.s8();
            if (!work.spend(1 + uint64_t(count < 0 ? -count : count))) return false;
            if (count >= 0) {
                const uint8_t* run = in.take(static_cast<size_t>(count));
                if (!run) return false;
                PutBytes(canvas, y, column, run, count);
                column += count;
            } else {
                FillBytes(canvas, y, column, in.u8(), -count);
                column += -count;
            }
        }
    }
    return in.ok();
}

// DELTA_FLC: word-oriented line delta with skip and last-pixel opcodes.
bool DecodeDeltaFlc(ByteReader& in, Canvas& canvas, WorkMeter& work) {
    const int rows = in.u16();
    int64_t y = 0;
    for (int i = 0; i < rows && in.ok(); ++i) {
        uint16_t word = in.u16();
        while ((word & 0xC000) == 0xC000 && in.ok() && work.spend(1)) {
            y += -static_cast<int16_t>(word);  // skip rows
            word = in.u16();
        }
        if (!in.ok() || work.stopped()) return false;
        if (y >= canvas.height) break;  // rows past the picture are never written
        if ((word & 0xC000) == 0x8000) {
            canvas.setLastPixel(y, static_cast<uint8_t>(word & 0xFF));
            word = in.u16();
        }
        const int packets = static_cast<int16_t>(word);
        int64_t column = 0;
        for (int p = 0; p < packets; ++p) {
            column += in.u8();
            const int count = in.s8();
            if (!work.spend(1 + 2 * uint64_t(count < 0 ? -count : count))) return false;
            if (count >= 0) {
                const uint8_t* words = in.take(static_cast<size_t>(count) * 2);
                if (!words) return false;
                PutBytes(canvas, y, column, words, int64_t{count} * 2);
                column += int64_t{count} * 2;
            } else {
                const uint8_t* pair = in.take(2);
                if (!pair) return false;
                FillPairs(canvas, y, column, pair, -count);
                column += int64_t{-count} * 2;
            }
        }
        ++y;
    }
    return in.ok();
}

bool DecodeCopy(ByteReader& in, Canvas& canvas, WorkMeter& work) {
    for (int y = 0; y < canvas.height; ++y) {
        const uint8_t* line = in.take(static_cast<size_t>(canvas.width));
        if (!line || !work.spend(uint64_t(canvas.width))) return false;
        PutBytes(canvas, y, 0, line, canvas.width);
    }
    return true;
}

// One subchunk; unknown types (postage stamps among them) are passed over.
// The work meter's no ends the frame as damage does.
bool DecodeSubchunk(uint16_t type, ByteReader& data, Canvas& canvas, Palette& palette, WorkMeter& work) {
    if (!work.spend(1)) return false;
    switch (type) {
        case kFlicColor256: return DecodeColor(data, palette, false, work);
        case kFlicColor64: return DecodeColor(data, palette, true, work);
        case kFlicDeltaFlc: return DecodeDeltaFlc(data, canvas, work);
        case kFlicDeltaFli: return DecodeDeltaFli(data, canvas, work);
        case kFlicBlack: canvas.clear(); return true;
        case kFlicByteRun: return DecodeByteRun(data, canvas, work);
        case kFlicCopy: return DecodeCopy(data, canvas, work);
        default: return true;
    }
}

// A frame chunk: 16-byte header, then its subchunks. `chunk` already ends at
// the chunk's end (or the file's, whichever comes first). `pastTheFile`: the
// chunk states a size that runs past the end of the file by more than a pad
// byte, so that it is whole only when each subchunk it holds is.
bool DecodeFrame(ByteReader chunk, bool pastTheFile, Canvas& canvas, Palette& palette, WorkMeter& work) {
    if (chunk.size() < 16) return !pastTheFile;  // a frame with nothing in it, or a header cut short
    const int subchunks = chunk.u16At(6);
    uint64_t position = 16;
    for (int i = 0; i < subchunks; ++i) {
        // Some writers count a subchunk more than they write; the frame ends
        // where its bytes do. Part of a subchunk header is a file cut short.
        if (position + 6 > chunk.size()) {
            if (pastTheFile && position < chunk.size()) return false;
            break;
        }
        const uint32_t size = chunk.u32At(static_cast<size_t>(position));
        const uint16_t type = chunk.u16At(static_cast<size_t>(position) + 4);
        if (size < 6) return false;  // would never advance
        // The end of the file cuts this subchunk (a pad byte aside).
        if (pastTheFile && position + size > uint64_t(chunk.size()) + 1) return false;
        // Sizes that run past the frame chunk are cut at its end: real files
        // overstate the last subchunk by its pad byte.
        uint64_t length = size - 6;
        // Animator Pro wrote CEL files whose copy chunk states 2 bytes fewer
        // than its pixels, which are all there: a short copy chunk reads on to
        // the end of its frame chunk, never past it, and the next subchunk
        // starts after the pixels it took.
        const uint64_t pixels = uint64_t(canvas.width) * uint64_t(canvas.height);
        if (type == kFlicCopy && length < pixels) length = pixels;
        ByteReader data = chunk.sub(static_cast<size_t>(position) + 6, length);
        if (!DecodeSubchunk(type, data, canvas, palette, work)) return false;
        position += 6 + length;
    }
    return true;
}

// A copy of the working picture in a new, black image: only what was drawn
// since the picture was last black is copied, so that a frame costs what
// its file drew, not the picture's size. None when memory runs out, or when
// the work meter says stop (a load being closed stops within a frame).
BudgetImage MakeFrameImage(LoadBudget& budget, Canvas& canvas, const Palette& palette, uint32_t delay, WorkMeter& work) {
    BudgetImage made = budget.createImage(canvas.width, canvas.height, 8);
    Image* image = made.get();
    if (!image) return {};
    for (int i = 0; i < canvas.drawnRowCount; ++i) {
        const int32_t y = canvas.drawnRows[i];
        const uint32_t from = canvas.drawnFrom[y], to = canvas.drawnTo[y];
        if (!work.spend(1 + uint64_t(to - from))) return {};
        uint8_t* row = ImageRow(image, y);
        std::memcpy(row + from, canvas.row(y) + from, to - from);
        if (canvas.lastPixelDrawn[y]) row[canvas.width - 1] = canvas.row(y)[canvas.width - 1];
    }
    PaletteEntry entries[256];
    PaletteExpand(entries, palette.data(), 256, 0);
    ImageSetPalette(image, entries);
    ImageSetDelay(image, delay);
    return made;
}

}  // namespace

uint32_t FlicDelayMs(uint16_t magic, uint32_t speed) {
    if (magic == kFliMagic) {
        const uint64_t ms = uint64_t{speed} * 1000 / 70;
        return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
    }
    return speed;
}

int FlicProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint16_t magic = file.u16At(4);
    return file.ok() && (magic == kFliMagic || magic == kFlcMagic);
}

const char* FlicKind(const uint8_t* data, size_t size) {
    return ByteReader(data, size).u16At(4) == kFliMagic ? "FLI" : "FLC";
}

namespace {

// The working picture and its bookkeeping in one heap block, all zero: the
// picture starts black with nothing drawn.
struct CanvasBlock {
    explicit CanvasBlock(const LoadBudget& budget) : bytes(budget) {}

    Canvas canvas{};
    HeapBytes block;
    BudgetBytes bytes;

    bool create(int width, int height) {
        const int stride = static_cast<int>(DibStride(width, 8));
        const uint64_t rows = uint64_t(height);
        const uint64_t pixelBytes = uint64_t(stride) * rows;
        const uint64_t size = pixelBytes + rows * (4 + 4 + 4 + 1);
        if (!bytes.hold(size)) return false;
        block.reset(static_cast<uint8_t*>(MemAllocZeroed(static_cast<size_t>(size))));
        if (!block) return false;
        uint8_t* at = block.get();
        canvas = Canvas{at, width, height, stride, nullptr, nullptr, nullptr, nullptr, 0};
        at += pixelBytes;
        canvas.drawnFrom = reinterpret_cast<uint32_t*>(at);
        canvas.drawnTo = canvas.drawnFrom + height;
        canvas.drawnRows = reinterpret_cast<int32_t*>(canvas.drawnTo + height);
        canvas.lastPixelDrawn = reinterpret_cast<uint8_t*>(canvas.drawnRows + height);
        return true;
    }

    // The same picture and bookkeeping in a block of its own.
    bool copyFrom(const CanvasBlock& other) {
        if (!create(other.canvas.width, other.canvas.height)) return false;
        std::memcpy(block.get(), other.block.get(), static_cast<size_t>(bytes.bytes()));
        canvas.drawnRowCount = other.canvas.drawnRowCount;
        return true;
    }
};

}  // namespace

namespace {

// The frame chunks from `position` on, up to the stated count, by their
// headers alone: a chunk that would not advance, or whose header the file
// cuts, ends them.
int WalkFrames(ByteReader file, uint64_t position, int stated) {
    int frames = 0;
    while (frames < stated && position + 6 <= file.size()) {
        const uint32_t size = file.u32At(static_cast<size_t>(position));
        if (size < 6) break;
        if (file.u16At(static_cast<size_t>(position) + 4) == kFlicFrameChunk) ++frames;
        position += size;
    }
    return frames;
}

// Where decoding stands between frames: the working picture and palette that
// the next frame's deltas apply to, and the next chunk's place in the file.
class FlicDecoder : public FrameDecoder {
public:
    explicit FlicDecoder(LoadRequest* request) : budget_(request), work_(request->work), picture_(budget_) {}

    // Reads the header; false, with the request's error, when it is no animation.
    bool open(LoadRequest* request) {
        file_ = ByteReader(request->data, request->size);
        if (file_.size() < kFlicHeaderSize) return Fail(request, kErrorInvalidData);
        const uint16_t magic = file_.u16At(4);
        stated_ = file_.u16At(6);
        const int width = file_.u16At(8);
        const int height = file_.u16At(10);
        const int32_t firstFrame = static_cast<int32_t>(file_.u32At(80));
        if (stated_ == 0 || width == 0 || height == 0) return Fail(request, kErrorInvalidData);
        delay_ = FlicDelayMs(magic, file_.u32At(16));
        position_ = firstFrame > 0 ? static_cast<uint64_t>(firstFrame) : kFlicHeaderSize;
        if (!picture_.create(width, height)) return Fail(request, kErrorOutOfMemory);
        request->work.earn(uint64_t(width) * uint64_t(height));  // the first frame's
        walked_ = WalkFrames(file_, position_, stated_);
        return true;
    }

    BudgetImage next(Status* stop) override {
        if (!Advance(stop)) return {};
        BudgetImage image = MakeFrameImage(budget_, picture_.canvas, palette_, delay_, work_);
        if (!image) {
            *stop = MeterStatusOr(work_, {kErrorOutOfMemory, nullptr, decoded_});
            return {};
        }
        ++decoded_;
        *stop = {};
        return image;
    }

    bool skips() const override { return true; }
    bool skip(Status* stop) override {
        if (!Advance(stop)) return false;
        ++decoded_;
        *stop = {};
        return true;
    }

    DecoderPtr clone(LoadRequest* request) const override {
        auto copy = MakeDecoder<FlicDecoder>(request);
        if (!copy) return nullptr;
        copy->file_ = file_;
        copy->palette_ = palette_;
        copy->delay_ = delay_;
        copy->stated_ = stated_;
        copy->walked_ = walked_;
        copy->decoded_ = decoded_;
        copy->position_ = position_;
        if (!copy->picture_.copyFrom(picture_)) return nullptr;
        return copy;
    }

    uint64_t footprint() const override { return sizeof(FlicDecoder) + picture_.bytes.bytes(); }
    int32_t frames() const override { return walked_; }
    int32_t statedFrames() const override { return stated_; }

private:
    // Exactly the counted frames; the ring frame that follows them leads
    // back to the first frame and is never read. A file damaged or cut
    // short keeps the frames before the damage; the damaged frame itself is
    // dropped, as its picture is only partly drawn. Draws the next frame
    // into the canvas: false, with `stop` saying why, when there is none.
    bool Advance(Status* stop) {
        *stop = Status::End();
        while (decoded_ < stated_) {
            *stop = Status::Damaged("it is cut short", decoded_);
            if (position_ + 6 > file_.size()) return false;
            const uint32_t size = file_.u32At(static_cast<size_t>(position_));
            const uint16_t type = file_.u16At(static_cast<size_t>(position_) + 4);
            if (size < 6) {
                *stop = Status::Damaged("a chunk is smaller than its header", decoded_);
                return false;
            }
            if (!work_.spend(1)) {
                *stop = MeterStatus(work_, decoded_);
                return false;
            }
            const uint64_t at = position_;
            position_ += size;
            // Other chunks at frame level (the prefix chunk among them) are no frames.
            if (type != kFlicFrameChunk) continue;
            // A frame may overstate its size by a pad byte. Past that, a frame that
            // runs past the end of the file is whole when its subchunks are: some
            // writers state the last frame's size too long.
            const bool pastTheFile = at + size > uint64_t(file_.size()) + 1;
            // A frame without an image chunk still shows: the previous picture
            // with this frame's palette.
            if (DecodeFrame(file_.sub(static_cast<size_t>(at), size), pastTheFile, picture_.canvas, palette_, work_))
                return true;
            const char* why = pastTheFile ? "it is cut short" : "a chunk cannot be read";
            *stop = MeterStatusOr(work_, Status::Damaged(why, decoded_));
            return false;
        }
        return false;
    }

    LoadBudget budget_;
    WorkMeter& work_;
    ByteReader file_;
    CanvasBlock picture_;
    Palette palette_{};  // black until the first colour chunk
    uint32_t delay_ = 0;
    int stated_ = 0;
    int walked_ = 0;  // the frame chunks the file holds, found by walking their headers
    int decoded_ = 0;
    uint64_t position_ = 0;
};

DecoderPtr FlicOpen(LoadRequest* request) {
    auto decoder = MakeDecoder<FlicDecoder>(request);
    if (!decoder) return Fail(request, kErrorOutOfMemory);
    if (!decoder->open(request)) return nullptr;
    return decoder;
}

// Every frame shows for the header's speed.
uint64_t FlicDuration(const LoadRequest* request, int32_t frames, uint32_t* each) {
    ByteReader file(request->data, request->size);
    if (file.size() < kFlicHeaderSize || frames <= 0) return 0;
    const uint32_t delay = FlicDelayMs(file.u16At(4), file.u32At(16));
    for (int32_t f = 0; each && f < frames; ++f) each[f] = delay;
    return uint64_t{delay} * uint64_t(frames);
}

}  // namespace

const FileFormat kFlicFormat = {kFormatFlic,     FlicProbe, nullptr,     nullptr, "Autodesk Flic Animation", "FLC;FLI",
                                &kFlicStreamOps, FlicOpen,  FlicDuration};
