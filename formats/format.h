// The format registry: one FileFormat row per file format, in a fixed table
// of 16 slots filled once at start-up, plus the error codes and the load path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"
#include "image/work_meter.h"

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

enum ErrorCode : int32_t {
    kErrorNone = 0,
    kErrorUnsupportedType = 1,
    kErrorUnknown = 2,
    kErrorOutOfMemory = 3,
    kErrorColorNotSupported = 4,
    kErrorRead = 5,
    kErrorWrite = 6,
    kErrorInvalidData = 7,
    kErrorFileNotFound = 8,
};

// How much one load may allocate for its images. A file that would need more
// keeps the frames decoded until then, so a small hostile file cannot exhaust
// the machine.
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr uint64_t kLoadMemoryBudget = uint64_t{1} << 30;  // 1 GiB
#else
constexpr uint64_t kLoadMemoryBudget = uint64_t{512} << 20;  // 512 MiB
#endif

// What a load hands to probes and loaders.
struct LoadRequest {
    uint32_t size;       // bytes at data
    uint8_t* data;       // the whole file, a private copy-on-write view
    ErrorCode error;
    uint64_t budget;     // bytes of images this load may allocate; 0 means kLoadMemoryBudget
    // Why the frames a load returned end before the file's last one:
    // kErrorInvalidData when the file is damaged or cut short after them,
    // kErrorOutOfMemory when the budget ran out; kErrorNone for a whole file.
    ErrorCode endedEarly;
    // At most this many frames; 0 for every frame. Stopping there is no early
    // end: a thumbnail needs only the first frame, and decoding only that keeps
    // a long animation as cheap to show as a still.
    int32_t frameLimit;
    // The frames the file says it has (a FLIC header's count); 0 when the
    // format does not say. Set by the load.
    int32_t statedFrames;
    WorkMeter work;
    uint64_t budgetUsed;  // bytes of the budget taken so far (LoadBudget keeps it)
};

// The number of frames a loader decodes of the `frames` a file states.
inline int LoadFrameCount(const LoadRequest* request, int frames) {
    return request->frameLimit > 0 && request->frameLimit < frames ? request->frameLimit : frames;
}

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

// Formats whose animations decode one frame at a time give these; the load
// drivers (FormatLoad, ProgressiveOpen) open the decoder, take its frames and
// link them into the chain, which the decoder never sees.
struct FrameDecoder {};  // each format's decoder state derives from it
struct FrameDecoderOps {
    // Reads what comes before the frames. None, with the request's error,
    // when the file cannot be an animation. The request outlives the decoder.
    FrameDecoder* (*open)(LoadRequest* request);
    // The next frame, a complete picture that the caller owns, and keeps
    // until the next call: the decoder may compose the next frame from it.
    // None at the end, with `stop` saying why: kErrorNone after the file's
    // last frame, kErrorInvalidData at damage, kErrorOutOfMemory when the
    // budget ran out.
    Image* (*next)(FrameDecoder* decoder, ErrorCode* stop);
    // The frames the file says it has; 0 when it does not say.
    int32_t (*statedFrames)(const FrameDecoder* decoder);
    void (*close)(FrameDecoder* decoder);
    // The frames the file holds as far as its structure tells, found at open
    // without decoding (fewer when decoding finds damage).
    int32_t (*frames)(const FrameDecoder* decoder);
    // A copy that goes on from the same frame, for going back to it later;
    // it reads the last frame `next` gave as the original does, and counts
    // its memory and work against `request` (the original's, or another load
    // of the same bytes). None when memory or the budget runs out.
    FrameDecoder* (*clone)(const FrameDecoder* decoder, LoadRequest* request);
    // The bytes a clone holds.
    uint64_t (*footprint)(const FrameDecoder* decoder);
    // How long the first `frames` frames play, in milliseconds: the sum of
    // the delays `next` would give them, read from the file's structure
    // without decoding a picture, so that it needs no decoder and costs no
    // more than a walk over the file. With `each`, the delay of every one
    // of them too (room for `frames`; 0 past those the file holds). None:
    // only decoding tells.
    uint64_t (*duration)(const LoadRequest* request, int32_t frames, uint32_t* each);
    // Moves past the next frame without making its picture, for a caller on
    // its way to a later one; false as `next` gives none. None: every frame
    // is made.
    bool (*skip)(FrameDecoder* decoder, ErrorCode* stop);
};

struct FileFormat {
    FormatId id;
    int (*probe)(const LoadRequest* request);
    Image* (*load)(LoadRequest* request);
    int (*save)(Image* image, SaveRequest* request);
    const char* description;
    const char* extensions;  // without dots, ";"-separated; the first is the default
    const StreamOps* streamOps;
    const FrameDecoderOps* frames;  // none: `load` decodes the whole file at once
};

constexpr int kFormatSlots = 16;

int FormatRegister(const FileFormat& entry);
const FileFormat* FormatFind(FormatId id);
const FileFormat* FormatSlot(int index);
const FileFormat* FormatProbe(const LoadRequest* request);
const char* ErrorMessage(ErrorCode code);
// The error's text and, when there is one, the system's reason after it:
// "Write error: access denied". `out` takes at most `size` bytes with the NUL.
void ErrorText(ErrorCode code, const char* reason, char* out, size_t size);

// Empties the registry. For tests only.
void FormatRegistryReset();

// Ends a failed load: frees the frames made so far and sets the error; none.
inline Image* LoadFail(LoadRequest* request, Image* chain, ErrorCode error) {
    ImageDestroy(chain);
    request->error = error;
    return nullptr;
}

// Ends a frame decoder's failed open: sets the error; none.
inline FrameDecoder* DecoderFail(LoadRequest* request, ErrorCode error) {
    request->error = error;
    return nullptr;
}

// Maps the file, probes and loads it. With no request, the error is lost.
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
// Probes and loads bytes already in memory.
Image* FormatLoad(LoadRequest* request);
// A format's whole-file loader made of its frame decoder.
Image* FormatLoadFrames(LoadRequest* request, const FrameDecoderOps& ops);

// What to tell the user when a load's frames end before the file's last one,
// the same words in the viewer and the tool: "the file is damaged after frame
// 12" (the last frame there is, counting from 0 as the overlay and the tool
// do), "8000 of 16000 frames: not enough memory for the rest". An empty text
// for a whole file. `out` takes at most `size` bytes with the NUL.
void LoadEndText(ErrorCode endedEarly, int32_t frames, int32_t statedFrames, char* out, size_t size);

// How long an animation plays, the same words in the viewer and the tool:
// "3:18.000" (minutes, seconds, milliseconds), "1:02:03.004" from an hour
// on. `out` takes at most `size` bytes with the NUL.
void DurationText(uint64_t milliseconds, char* out, size_t size);

// ---- Loading frame by frame ----------------------------------------------------
// For a viewer that shows the first frame at once and decodes the others on
// another thread, into the same chain, while the first ones play. FormatLoad
// is this, stepped to the end on one thread.
//
// Threads: one thread at a time steps the load (the opening thread, or one it
// hands the load to). Any other thread may read the published frame count,
// and then touch frames below it: they are complete and never change again.
// The `next` link of the last published frame is written when the frame after
// it is linked: only once the load is complete may a reader follow it (or
// walk the chain to its end). Closing is for after the stepping thread has
// stopped.
struct ProgressiveLoad;

// Probes the bytes and decodes the first frame. None, with the request's
// error, when the file gives no frame. The bytes stay valid until the load is
// complete or closed.
ProgressiveLoad* ProgressiveOpen(LoadRequest* request);
// The same for a file, which stays mapped (and open) while frames are still
// to come.
ProgressiveLoad* ProgressiveOpenFile(const char* fileName, LoadRequest* request);
// Decodes and links one more frame. False once there is none to come; the
// load is then complete, and its decoder and file are closed.
bool ProgressiveStep(ProgressiveLoad* load);
// Asks the load to stop for good, from any thread: a step under way returns
// within a bounded amount of work, and the load is then complete with the
// frames linked so far. For a load that is being abandoned.
void ProgressiveCancel(ProgressiveLoad* load);
// The frames published so far (acquire); `complete`, when given, tells
// whether that is all of them. The two are read so that a complete load's
// count is its final one.
int32_t ProgressiveFrames(const ProgressiveLoad* load, bool* complete = nullptr);
Image* ProgressiveFirst(const ProgressiveLoad* load);
// The frames the file says it has; 0 when the format does not say.
int32_t ProgressiveStatedFrames(const ProgressiveLoad* load);
// Why a complete load's frames end before the file's last one, as the
// request's endedEarly; kErrorNone until it is complete.
ErrorCode ProgressiveEndedEarly(const ProgressiveLoad* load);
// Gives the chain to the caller, who destroys it; for a complete load.
Image* ProgressiveTakeChain(ProgressiveLoad* load);
// Frees the load: decoder, mapping and, unless taken, the chain.
void ProgressiveClose(ProgressiveLoad* load);

// Budget bookkeeping for loaders that create many images. Every budget of
// one load counts into its request, so that a decoder, its checkpoints and
// the frames handed out share one limit.
class LoadBudget {
public:
    explicit LoadBudget(LoadRequest* request)
        : limit_(request->budget ? request->budget : kLoadMemoryBudget), used_(&request->budgetUsed) {}
    // Reserves the memory of one more image; false when it would not fit.
    bool take(uint64_t bytes) {
        if (*used_ > limit_ || bytes > limit_ - *used_) return false;
        *used_ += bytes;
        return true;
    }
    // Gives back what was taken for memory that is freed.
    void give(uint64_t bytes) { *used_ -= bytes < *used_ ? bytes : *used_; }
    // An image from ImageCreate, its memory reserved first; none when it
    // does not fit in what is left or in memory.
    Image* createImage(int width, int height, int depth);
    // A copy of `image`, its memory reserved first; none as above.
    Image* duplicateImage(const Image* image);
    static uint64_t ImageFootprint(int width, int height, int depth);
    static uint64_t ImageFootprint(const Image* image);

private:
    uint64_t limit_;
    uint64_t* used_;
};
