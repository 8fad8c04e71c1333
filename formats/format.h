// The format registry: one FileFormat row per file format, in a fixed table
// of 16 slots filled once at start-up, the error codes, the load budget and
// the work meter that bound a load, and the frame decoders that animated
// formats give. Frames are read through a frame source (frame_source.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "image/image.h"
#include "image/work_meter.h"
#include "formats/status.h"

using FormatId = int32_t;
enum : FormatId {
    kFormatNone = 0,
    kFormatBmp = 1,
    kFormatGif = 3,
    kFormatPcx = 4,
    kFormatTga = 6,
    kFormatFlic = 10,
    kFormatAvi = 13,
    kFormatSpr = 15,
    kFormatPng = 16,
    kFormatApng = 17,
};

// How much one load may hold at a time: its decoder, its checkpoints and the
// frame it handed out last. A file whose frame would need more ends there, so
// a small hostile file cannot exhaust the machine.
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr uint64_t kLoadMemoryBudget = uint64_t{1} << 30;  // 1 GiB
#else
constexpr uint64_t kLoadMemoryBudget = uint64_t{512} << 20;  // 512 MiB
#endif

// What a load hands to probes and loaders.
struct LoadRequest {
    uint32_t size;       // bytes at data
    uint8_t* data;       // the whole file, a private copy-on-write view
    Status error;
    uint64_t budget;     // bytes this load may hold at a time; 0 means kLoadMemoryBudget
    WorkMeter work;
    uint64_t budgetUsed;  // bytes of the budget taken so far (LoadBudget keeps it)
};

class BudgetImage;

// Budget bookkeeping. Every budget of one load counts into its request, so
// that a decoder, its checkpoints and the frame handed out share one limit.
class LoadBudget {
public:
    LoadBudget() = default;
    explicit LoadBudget(LoadRequest* request)
        : limit_(request->budget ? request->budget : kLoadMemoryBudget), used_(&request->budgetUsed) {}
    // Reserves the memory of one more image; false when it would not fit.
    bool take(uint64_t bytes) {
        if (*used_ > limit_ || bytes > limit_ - *used_) return false;
        *used_ += bytes;
        return true;
    }
    // Gives back what was taken for memory that is freed.
    void give(uint64_t bytes) {
        if (used_) *used_ -= bytes < *used_ ? bytes : *used_;
    }
    // An image of width x height at `depth` that make() gives, its memory
    // reserved first: the one place where an image's bytes are taken. None
    // when it does not fit in what is left, or make() gives none.
    template <typename Make>
    BudgetImage made(int width, int height, int depth, Make make);
    // An image from ImageCreate; none as above.
    BudgetImage createImage(int width, int height, int depth);
    // A copy of `image`; none as above.
    BudgetImage duplicateImage(const Image* image);
    static uint64_t ImageFootprint(int width, int height, int depth);
    static uint64_t ImageFootprint(const Image* image);

private:
    uint64_t limit_ = 0;
    uint64_t* used_ = nullptr;
};

// An image whose bytes were taken from a load's budget: freeing it gives
// them back. Moves, never copies.
class BudgetImage {
public:
    BudgetImage() = default;
    // Takes `image`, whose bytes `budget` has reserved.
    BudgetImage(Image* image, const LoadBudget& budget) : image_(image), budget_(budget) {}
    BudgetImage(BudgetImage&& other) noexcept : image_(other.image_), budget_(other.budget_) { other.image_ = nullptr; }
    BudgetImage& operator=(BudgetImage&& other) noexcept {
        if (this != &other) {
            reset();
            image_ = other.image_;
            budget_ = other.budget_;
            other.image_ = nullptr;
        }
        return *this;
    }
    ~BudgetImage() { reset(); }
    Image* get() const { return image_; }
    explicit operator bool() const { return image_ != nullptr; }
    // Frees the image and gives its bytes back.
    void reset() {
        if (!image_) return;
        budget_.give(LoadBudget::ImageFootprint(image_));
        ImageDestroy(image_);
        image_ = nullptr;
    }
    // Hands the image over, its bytes still counted: for a caller that
    // keeps it beyond the load (a still's picture, a first frame).
    Image* release() {
        Image* image = image_;
        image_ = nullptr;
        return image;
    }

private:
    Image* image_ = nullptr;
    LoadBudget budget_;
};

template <typename Make>
BudgetImage LoadBudget::made(int width, int height, int depth, Make make) {
    const uint64_t bytes = ImageFootprint(width, height, depth);
    if (!take(bytes)) return {};
    Image* image = make();
    if (!image) give(bytes);
    return {image, *this};
}

// Bytes of a load's budget held for a block of memory that is not an image
// (a decoder's working picture, a saved area): given back when it goes.
class BudgetBytes {
public:
    BudgetBytes() = default;
    explicit BudgetBytes(const LoadBudget& budget) : budget_(budget) {}
    BudgetBytes(const BudgetBytes&) = delete;
    BudgetBytes& operator=(const BudgetBytes&) = delete;
    ~BudgetBytes() { budget_.give(bytes_); }
    // Holds `bytes` in all; false, holding what it held, when more do not fit.
    bool hold(uint64_t bytes) {
        if (bytes > bytes_ && !budget_.take(bytes - bytes_)) return false;
        if (bytes < bytes_) budget_.give(bytes_ - bytes);
        bytes_ = bytes;
        return true;
    }
    uint64_t bytes() const { return bytes_; }

private:
    LoadBudget budget_;
    uint64_t bytes_ = 0;
};

struct SaveRequest;
struct Stream;
struct StreamOpenRequest;
struct StreamReadRequest;
struct StreamFrameRequest;
struct StreamCloseRequest;

struct StreamOps {
    int (*open)(Stream* stream, StreamOpenRequest* request);
    Image* (*readFrame)(Stream* stream, StreamReadRequest* request);
    int (*writeFrame)(Stream* stream, StreamFrameRequest* request);
    int (*close)(Stream* stream, StreamCloseRequest* request);
};

// An animated format's frames, one at a time, for a frame source
// (frame_source.h), which alone drives it. Each animated format derives its
// decoder from this one interface, made by its registry row's `open`. A
// decoder holds its memory against the budget of the request it was opened
// or cloned with (BudgetImage, BudgetBytes) and gives it back when it goes;
// it reads the request's bytes and counts its work on the request's meter,
// and the request outlives it.
class FrameDecoder {
public:
    virtual ~FrameDecoder() = default;
    // The next frame, a complete picture that the caller owns and keeps
    // until the next call: the decoder may compose the next frame from it.
    // None at the end, with `stop` saying why: ended after the file's last
    // frame, damaged (with what was wrong and the frame), out of memory when
    // the budget ran out, cancelled when the meter was asked to stop.
    virtual BudgetImage next(Status* stop) = 0;
    // Whether skip() goes past a frame at the cost of its deltas, without
    // composing its picture; the others compose every frame to go past it.
    virtual bool skips() const { return false; }
    // Moves past the next frame without making its picture, for a caller on
    // its way to a later one; false as `next` gives none. Only where skips().
    virtual bool skip(Status* stop) {
        *stop = kErrorUnknown;
        return false;
    }
    // A copy that goes on from the same frame, for going back to it later;
    // it reads the last frame `next` gave as the original does, and counts
    // its memory and work against `request` (the original's, or another
    // load of the same bytes). None when memory or the budget runs out.
    virtual std::unique_ptr<FrameDecoder> clone(LoadRequest* request) const = 0;
    // The bytes a clone holds.
    virtual uint64_t footprint() const = 0;
    // The frames the file holds as far as its structure tells, found at open
    // without decoding (fewer when decoding finds damage).
    virtual int32_t frames() const = 0;
    // The frames the file says it has; 0 when it does not say.
    virtual int32_t statedFrames() const { return 0; }
};
using DecoderPtr = std::unique_ptr<FrameDecoder>;

// The one way a decoder is made: none when memory runs out.
template <typename Decoder, typename... Args>
std::unique_ptr<Decoder> MakeDecoder(Args&&... args) {
    return std::unique_ptr<Decoder>(new (std::nothrow) Decoder(std::forward<Args>(args)...));
}

// Reads what comes before the frames and makes the decoder. None, with the
// request's error, when the file cannot be an animation.
using DecoderOpen = DecoderPtr (*)(LoadRequest* request);
// How long the first `frames` frames play, in milliseconds: the sum of the
// delays `next` would give them, read from the file's structure without
// decoding a picture, so that it needs no decoder and costs no more than a
// walk over the file. With `each`, the delay of every one of them too (room
// for `frames`; 0 past those the file holds).
using DurationWalk = uint64_t (*)(const LoadRequest* request, int32_t frames, uint32_t* each);

struct FileFormat {
    FormatId id;
    int (*probe)(const LoadRequest* request);
    Image* (*load)(LoadRequest* request);  // a still's one picture; none for animated formats
    int (*save)(Image* image, SaveRequest* request);
    const char* description;
    const char* extensions;  // without dots, ";"-separated; the first is the default
    const StreamOps* streamOps;
    DecoderOpen open;       // an animation's decoder; none: a still, which `load` decodes
    DurationWalk duration;  // none: only decoding tells the delays
};

constexpr int kFormatSlots = 16;

int FormatRegister(const FileFormat& entry);
const FileFormat* FormatFind(FormatId id);
const FileFormat* FormatSlot(int index);
const FileFormat* FormatProbe(const LoadRequest* request);
const char* ErrorMessage(ErrorCode code);
// What the user reads of a status that is no success: the error's text and,
// when there is one, the reason after it ("Write error: access denied",
// "Invalid data: a block cannot be read"), "Cancelled", or "Unknown error"
// for a failure that said nothing. `out` takes at most `size` bytes with the
// NUL.
void ErrorText(const Status& status, char* out, size_t size);

// Empties the registry. For tests only.
void FormatRegistryReset();

// The file's first frame (formats/frame_source.cpp), which the caller owns;
// none with the request's error. With no request, the error is lost.
Image* ImageLoadFile(const char* fileName, LoadRequest* request);
// What the thumbnail view shows: the file's first frame, or when that is
// flat (fewer than 1 % of its pixels differ from its most common colour) the
// first frame after it that is not, looking at most 120 frames or 2 seconds
// of playing ahead and no further than a small multiple of the first frame's
// work (formats/thumbnail.cpp); reduced to fit boxWidth x boxHeight with its
// aspect kept (never enlarged), each pixel the average of those it covers; a
// 24-bit image. Frames are decoded one at a time, as far as needed. None,
// with the request's error set, when the file cannot be read or the
// thumbnail made.
Image* ImageLoadThumbnail(const char* fileName, int boxWidth, int boxHeight, LoadRequest* request);
// Maps a file for a load: the request's bytes become the view, which the
// caller closes. False, with the request's error, when it cannot be read.
bool MapForLoad(const char* fileName, LoadRequest* request, MappedFile* file);
// The same for bytes already in memory.
Image* FormatLoad(LoadRequest* request);

// What to tell the user when a load's frames end before the file's last one,
// the same words in the viewer and the tool: "the file is damaged after frame
// 12: it is cut short" (the last frame there is, counting from 0 as the
// overlay and the tool do, and what was wrong), "8000 of 16000 frames: not
// enough memory for the rest". An empty text for a whole file, or frames
// that a cancel ended. `out` takes at most `size` bytes with the NUL.
void LoadEndText(const Status& endedEarly, int32_t frames, int32_t statedFrames, char* out, size_t size);
// What to tell the user when one frame cannot be decoded now, though the
// frames go on past it: "frame 12 cannot be shown: not enough memory", or
// with the error's text for another failure.
void FrameFailedText(const Status& why, char* out, size_t size);

// How long an animation plays, the same words in the viewer and the tool:
// "3:18.000" (minutes, seconds, milliseconds), "1:02:03.004" from an hour
// on. `out` takes at most `size` bytes with the NUL.
void DurationText(uint64_t milliseconds, char* out, size_t size);
