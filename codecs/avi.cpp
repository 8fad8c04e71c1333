// The parts of the AVI stream that do not depend on the platform: the
// registry entry and the stream operations over either half (see avi.h),
// frame rates, the size limit, and the frames' rows as a bitmap header
// describes them.
#include "codecs/avi.h"

#include <cstring>

#include "formats/byte_writer.h"

namespace {

const StreamOps kAviStreamOps = {AviOpen, nullptr, AviWriteFrame, AviClose};

// The rate that an open uses: the options' rate, or the first frame's own
// delay when the caller gave no options; never 0.
AviRate OpenRate(const StreamOpenRequest* request) {
    const auto* options = static_cast<const AviExportOptions*>(request->options);
    if (!options) return AviRateOfPeriod(AviFrameDelay(ImageGetDelay(request->image)));
    return {options->rate > 0 ? options->rate : 1, options->scale > 0 ? options->scale : 1};
}

// ---- The stream operations --------------------------------------------------------

// What the stream operations keep between calls, on the Stream's `state`:
// the half that does the file work, the temporary file and the frames'
// format, which the first frame fixes.
struct AviStreamRecord {
    AviWriter* writer;
    bool failed;  // the file is gone; every later step fails
    char tempName[kMaxPath];
    int32_t width, height, depth;
};

AviStreamRecord* StateOf(Stream* stream) { return static_cast<AviStreamRecord*>(stream->state); }

// Whether a frame fits the format that the stream's first frame fixed. The
// colours of palette frames may change: the file says so before the frame.
bool FrameFitsFormat(const Image* frame, const AviStreamRecord* s) {
    return frame && ImageWidth(frame) == s->width && ImageHeight(frame) == s->height && ImageBitCount(frame) == s->depth;
}

// Drops the unfinished file: after this the stream only fails.
void DiscardFile(AviStreamRecord* s) {
    if (s->writer) AviWriterFree(s->writer);
    s->writer = nullptr;
    if (s->tempName[0]) TempFileDiscard(s->tempName);
    s->tempName[0] = '\0';
    s->failed = true;
}

void ReleaseState(Stream* stream) {
    AviStreamRecord* s = StateOf(stream);
    if (!s) return;
    if (s->writer || s->tempName[0]) DiscardFile(s);
    MemFree(s);
    stream->state = nullptr;
}

int OpenForWriting(Stream* stream, AviStreamRecord* s, StreamOpenRequest* request) {
    const Image* first = request->image;
    if (!first) {
        request->error = kErrorInvalidData;
        return 0;
    }
    s->width = ImageWidth(first);
    s->height = ImageHeight(first);
    s->depth = ImageBitCount(first);
    FileHandle* temp = FileCreateTempBeside(stream->fileName, s->tempName);
    if (!temp) {
        request->error = kErrorWrite;
        return 0;
    }
    const auto* options = static_cast<const AviExportOptions*>(request->options);
    const AviRate rate = OpenRate(request);
    s->writer = AviWriterCreate(temp, s->tempName, first, rate.rate, rate.scale, options ? options->owner : nullptr,
                                &request->error);
    return s->writer ? 1 : 0;
}

}  // namespace

int AviOpen(Stream* stream, StreamOpenRequest* request) {
    if (request->mode != 1) {
        request->error = kErrorUnsupportedType;
        return 0;
    }
    auto* s = static_cast<AviStreamRecord*>(MemAlloc(sizeof(AviStreamRecord)));
    if (!s) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    std::memset(s, 0, sizeof *s);
    stream->state = s;
    const int ok = OpenForWriting(stream, s, request);
    // A failed open leaves no stream behind it, so nothing else will release this.
    if (!ok) ReleaseState(stream);
    return ok;
}

int AviWriteFrame(Stream* stream, StreamFrameRequest* request) {
    AviStreamRecord* s = StateOf(stream);
    if (!s || s->failed) {
        request->error = s ? kErrorWrite : kErrorUnsupportedType;
        return 0;
    }
    const Image* frame = request->image;
    if (!FrameFitsFormat(frame, s)) {
        request->error = kErrorInvalidData;
        return 0;
    }
    const uint32_t position = request->options ? *static_cast<const uint32_t*>(request->options) : 0;
    bool lost = false;
    const Status error = AviWriterWrite(s->writer, frame, position, &lost, stream->work);
    if (error.ok()) return 1;
    if (lost) DiscardFile(s);
    request->error = error;
    return 0;
}

int AviClose(Stream* stream, StreamCloseRequest* request) {
    AviStreamRecord* s = StateOf(stream);
    if (!s) return 1;
    int ok = 1;
    if (!stream->abandoned) {
        ok = !s->failed;
        // The last frame shows until the stream's end, when the caller gives it.
        bool lost = false;
        const auto* end = static_cast<const uint32_t*>(request->options);
        if (ok && end && *end > AviWriterFrames(s->writer))
            ok = AviWriterWrite(s->writer, nullptr, *end, &lost, stream->work).ok();
        if (ok) {
            ok = AviWriterFinish(s->writer);  // frees the writer either way
            s->writer = nullptr;
        }
        ok = ok && TempFilePutInPlace(s->tempName, stream->fileName, stream->work);
        if (ok) s->tempName[0] = '\0';  // it is the real file now
        else request->error = kErrorWrite;
    }
    ReleaseState(stream);
    return ok;
}

const FileFormat kAviFormat = {
    kFormatAvi, nullptr, nullptr, nullptr, "Audio Video Interleaved animation file", "AVI", &kAviStreamOps,
};

uint32_t AviFrameDelay(uint32_t delayMs) { return delayMs < 10 ? 10 : delayMs; }

AviRate AviRateOfPeriod(uint32_t periodMs) {
    uint32_t a = periodMs > 0 ? periodMs : 1, b = 1000;
    while (b != 0) {
        const uint32_t r = a % b;
        a = b;
        b = r;
    }
    return {1000 / a, (periodMs > 0 ? periodMs : 1) / a};
}

void AviFrameColorTable(const Image* frame, uint8_t (&table)[256 * 4]) {
    std::memset(table, 0, sizeof table);
    const int32_t size = ImageColorTableSize(frame);
    std::memcpy(table, ImageColorTable(frame, 0), static_cast<size_t>(size < 1024 ? size : 1024));
}

void AviHeader24(const Image* first, uint8_t* out) {
    std::memset(out, 0, 40);
    PutU32(out, 40);
    PutU32(out + 4, static_cast<uint32_t>(ImageWidth(first)));
    PutU32(out + 8, static_cast<uint32_t>(ImageHeight(first)));
    PutU16(out + 12, 1);
    PutU16(out + 14, 24);
    PutU32(out + 20, static_cast<uint32_t>(DibStride(ImageWidth(first), 24) * uint64_t(ImageHeight(first))));
}

void AviWidenRows(const Image* frame, uint8_t* out) {
    uint8_t table[256 * 4];
    AviFrameColorTable(frame, table);
    const int32_t width = ImageWidth(frame), height = ImageHeight(frame);
    const size_t inStride = static_cast<size_t>(ImageStride(frame));
    const size_t outStride = static_cast<size_t>(DibStride(width, 24));
    const uint8_t* rows = ImageBits(frame);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* in = rows + inStride * static_cast<size_t>(y);
        uint8_t* row = out + outStride * static_cast<size_t>(y);
        for (int32_t x = 0; x < width; ++x, row += 3) std::memcpy(row, table + in[x] * 4, 3);
        std::memset(row, 0, outStride - static_cast<size_t>(width) * 3);
    }
}
