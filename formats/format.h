// The format registry: one FileFormat row per file format, in a fixed table
// of 16 slots filled once at start-up, plus the error codes and the load path.
#pragma once

#include <cstdint>

#include "image/image.h"

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

struct FileFormat {
    FormatId id;
    int (*probe)(const LoadRequest* request);
    Image* (*load)(LoadRequest* request);
    int (*save)(Image* image, SaveRequest* request);
    const char* description;
    const char* extensions;  // without dots, ";"-separated; the first is the default
    const StreamOps* streamOps;
};

constexpr int kFormatSlots = 16;

int FormatRegister(const FileFormat& entry);
const FileFormat* FormatFind(FormatId id);
const FileFormat* FormatSlot(int index);
const FileFormat* FormatProbe(const LoadRequest* request);
const char* ErrorMessage(ErrorCode code);

// Registers every codec in the fixed order (FLIC, BMP, GIF, PCX, TGA, AVI,
// SPR; those built so far). Calling it again changes nothing.
void FormatRegisterAll();

// Empties the registry. For tests only.
void FormatRegistryReset();

// Ends a failed load: frees the frames made so far and sets the error; none.
inline Image* LoadFail(LoadRequest* request, Image* chain, ErrorCode error) {
    ImageDestroy(chain);
    request->error = error;
    return nullptr;
}

// Maps the file, probes and loads it. With no request, the error is lost.
Image* ImageLoadFile(const char* fileName, LoadRequest* request);
// What the thumbnail view shows: the file's first frame, and only it
// decoded, reduced to fit boxWidth x boxHeight with its aspect kept (never
// enlarged), each pixel the average of those it covers; a 24-bit image. None,
// with the request's error set, when the file cannot be read or the
// thumbnail made.
Image* ImageLoadThumbnail(const char* fileName, int boxWidth, int boxHeight, LoadRequest* request);
// Probes and loads bytes already in memory.
Image* FormatLoad(LoadRequest* request);

// Budget bookkeeping for loaders that create many images.
class LoadBudget {
public:
    explicit LoadBudget(const LoadRequest* request)
        : limit_(request->budget ? request->budget : kLoadMemoryBudget) {}
    // Reserves the memory of one more image; false when it would not fit.
    bool take(uint64_t bytes) {
        if (bytes > limit_ - used_) return false;
        used_ += bytes;
        return true;
    }
    // An image from ImageCreate, its memory reserved first; none when it
    // does not fit in what is left or in memory.
    Image* createImage(int width, int height, int depth);
    static uint64_t ImageFootprint(int width, int height, int depth);

private:
    uint64_t limit_;
    uint64_t used_ = 0;
};
