// SPR: "SPR", frame count, width, height (16 bits each), then per frame its
// delay in milliseconds, its palette and its pixels, rows top-down and
// unpadded.
//
// What real files do that the format does not allow, and what we do (the
// test that pins it, in tests/unit/spr_test.cpp):
// - Files cut short, with fewer whole frames than the header counts: the
//   whole frames are the animation, and the load says the file is damaged.
//   DamagedAndEmptyFilesGiveCleanErrors
#include "codecs/spr.h"

#include <cstring>

#include "codecs/codec_util.h"
#include "formats/byte_reader.h"

int SprProbe(const LoadRequest* request) {
    ByteReader file(request->data, request->size);
    const uint8_t* magic = file.take(3);
    return magic && std::memcmp(magic, "SPR", 3) == 0;
}

namespace {

// Frames are whole records one after the other: the decoder is a place in
// the file.
class SprDecoder : public FrameDecoder {
public:
    SprDecoder(LoadRequest* request, ByteReader file, int stated, int width, int height)
        : budget_(request), file_(file), stated_(stated), width_(width), height_(height) {}

    // A file cut short keeps its whole records; past the budget, the frames
    // read so far are the animation.
    BudgetImage next(Status* stop) override {
        *stop = Status::End();
        if (decoded_ >= stated_) return {};
        const uint64_t recordBytes = RecordBytes();
        *stop = Status::Damaged("it is cut short", decoded_);
        if (file_.remaining() < recordBytes) return {};
        *stop = Status(kErrorOutOfMemory, nullptr, decoded_);
        BudgetImage image = budget_.createImage(width_, height_, 8);
        if (!image) return {};
        const uint8_t* record = file_.take(static_cast<size_t>(recordBytes));
        ImageSetDelay(image.get(), static_cast<uint32_t>(record[0] | (record[1] << 8)));
        PaletteEntry entries[256];
        PaletteExpand(entries, record + 2, 256, 0);
        if (!ImageSetPalette(image.get(), entries)) return {};
        const uint8_t* pixels = record + kSprRecordHead;
        for (int y = 0; y < height_; ++y, pixels += width_)
            std::memcpy(ImageRow(image.get(), y), pixels, static_cast<size_t>(width_));
        ++decoded_;
        *stop = {};
        return image;
    }

    DecoderPtr clone(LoadRequest* request) const override {
        auto copy = MakeDecoder<SprDecoder>(*this);
        if (copy) copy->budget_ = LoadBudget(request);
        return copy;
    }

    uint64_t footprint() const override { return sizeof(SprDecoder); }
    int32_t statedFrames() const override { return stated_; }
    int32_t frames() const override {
        const uint64_t whole = file_.remaining() / RecordBytes() + uint64_t(decoded_);
        return static_cast<int32_t>(whole < uint64_t(stated_) ? whole : uint64_t(stated_));
    }

private:
    uint64_t RecordBytes() const { return kSprRecordHead + uint64_t(width_) * uint64_t(height_); }

    LoadBudget budget_;
    ByteReader file_;
    int stated_ = 0;
    int width_ = 0, height_ = 0;
    int decoded_ = 0;
};

DecoderPtr SprOpen(LoadRequest* request) {
    ByteReader file(request->data, request->size);
    if (!file.skip(3)) return Fail(request, kErrorInvalidData);
    const int frames = file.u16();
    const int width = file.u16();
    const int height = file.u16();
    if (!file.ok() || frames == 0 || width == 0 || height == 0) return Fail(request, kErrorInvalidData);
    DecoderPtr d = MakeDecoder<SprDecoder>(request, file, frames, width, height);
    return d ? std::move(d) : Fail(request, kErrorOutOfMemory);
}

// Each whole record starts with its frame's delay.
uint64_t SprDuration(const LoadRequest* request, int32_t frames, uint32_t* each) {
    ByteReader file(request->data, request->size);
    file.skip(5);  // the magic and the frame count, which `frames` comes from
    const int width = file.u16();
    const int height = file.u16();
    const uint64_t recordBytes = kSprRecordHead + uint64_t(width) * uint64_t(height);
    uint64_t total = 0;
    for (int32_t f = 0; f < frames && file.ok() && file.remaining() >= recordBytes; ++f) {
        const uint8_t* record = file.take(static_cast<size_t>(recordBytes));
        const uint32_t delay = uint32_t{record[0]} | (uint32_t{record[1]} << 8);
        if (each) each[f] = delay;
        total += delay;
    }
    return total;
}

}  // namespace



namespace {

// What a stream in write mode keeps between frames.
struct SprWriter {
    int32_t width;
    int32_t height;
    int32_t frames;   // counted in the header
    int32_t written;
};

// One record: the delay, the palette and the pixels, counting a unit a
// pixel on `work` when given. False when the frame does not fit the header
// or the meter stops.
bool WriteRecord(const SprWriter& w, const Image* image, uint32_t delay, ByteWriter& out, WorkMeter* work) {
    if (ImageBitCount(image) != 8 || ImageWidth(image) != w.width || ImageHeight(image) != w.height) return false;
    // Longer delays than the field holds play as long as it allows.
    out.u16(delay < 0xFFFF ? delay : 0xFFFF);
    PaletteEntry colors[256];
    ImageColors(image, colors);
    uint8_t palette[768];
    PalettePack(colors, palette, 256, 0);
    out.write(palette, sizeof palette);
    for (int y = 0; y < w.height; ++y) {
        if (work && !work->spend(uint64_t(w.width))) return false;
        out.write(ImageRow(image, y), static_cast<size_t>(w.width));
    }
    return true;
}

}  // namespace

int SprSave(Image* image, SaveRequest* request) {
    const int width = ImageWidth(image);
    const int height = ImageHeight(image);
    if (ImageBitCount(image) != 8) return Fail(request, kErrorColorNotSupported);
    const int count = 1;
    const uint64_t capacity = uint64_t(ImageBitsSize(image)) + kSprRecordHead + kSprHeaderSize;
    MemBufferPtr buffer(capacity <= INT32_MAX ? MemBufferCreate(static_cast<int32_t>(capacity), kMemBufferGrowStep)
                                              : nullptr);
    if (!buffer) return Fail(request, kErrorOutOfMemory);
    ByteWriter out(buffer.get());
    out.write("SPR", 3);
    out.u16(static_cast<uint32_t>(count));
    out.u16(static_cast<uint32_t>(width));
    out.u16(static_cast<uint32_t>(height));
    const SprWriter w{width, height, count, 0};
    if (!WriteRecord(w, image, ImageGetDelay(image), out, request->work)) return Fail(request, Status::Cancelled());
    if (!out.ok()) return Fail(request, kErrorWrite);
    request->output = buffer.release();
    return 1;
}

namespace {

int SprStreamOpen(Stream* stream, StreamOpenRequest* request) {
    const auto* options = static_cast<const SprStreamOptions*>(request->options);
    if (stream->mode != 1 || !options) return Fail(request, kErrorUnsupportedType);
    const Image* first = request->image;
    if (ImageBitCount(first) != 8) return Fail(request, kErrorColorNotSupported);
    // The header counts frames in 16 bits.
    if (options->frames < 1 || options->frames > 0xFFFF) return Fail(request, kErrorInvalidData);
    auto* w = static_cast<SprWriter*>(MemAlloc(sizeof(SprWriter)));
    if (!w) return Fail(request, kErrorOutOfMemory);
    *w = {ImageWidth(first), ImageHeight(first), options->frames, 0};
    stream->state = w;
    ByteWriter out(stream->pending);
    out.write("SPR", 3);
    out.u16(static_cast<uint32_t>(w->frames));
    out.u16(static_cast<uint32_t>(w->width));
    out.u16(static_cast<uint32_t>(w->height));
    return out.ok() ? 1 : Fail(request, kErrorOutOfMemory);
}

int SprStreamWriteFrame(Stream* stream, StreamFrameRequest* request) {
    auto* w = static_cast<SprWriter*>(stream->state);
    if (w->written >= w->frames) return Fail(request, kErrorInvalidData);
    ByteWriter out(stream->pending);
    const bool fits = WriteRecord(*w, request->image, request->delay, out, stream->work);
    if (fits) ++w->written;
    const bool stopped = stream->work && stream->work->stopped();
    const Status status = stopped ? Status::Cancelled()
                          : !fits ? kErrorColorNotSupported
                          : out.ok() ? kErrorNone : kErrorOutOfMemory;
    return status.ok() ? 1 : Fail(request, status);
}

// A file with fewer records than its header counts would be damaged.
int SprStreamClose(Stream* stream, StreamCloseRequest* request) {
    auto* w = static_cast<SprWriter*>(stream->state);
    stream->state = nullptr;
    const bool whole = w->written == w->frames;
    MemFree(w);
    if (stream->abandoned || whole) return 1;
    return Fail(request, kErrorInvalidData);
}

}  // namespace

const StreamOps kSprStreamOps = {SprStreamOpen, nullptr, SprStreamWriteFrame, SprStreamClose};

// The row offers no stream: exports reach the writer through kSprStreamOps.
const FileFormat kSprFormat = {kFormatSpr, SprProbe,  nullptr,    SprSave, "Pro Motion Animation", "SPR",
                               nullptr,    SprOpen,   SprDuration};
