// The parts of the AVI stream that do not depend on the platform: the
// registry entry and the stream operations over either half (see avi.h),
// frame rates, the size limit, and turning a stream's bitmap format and
// stored frames into an Image.
#include "codecs/avi.h"

#include <cstring>

#include "formats/byte_reader.h"
#include "formats/byte_writer.h"

namespace {

const StreamOps kAviStreamOps = {AviOpen, AviReadFrame, AviWriteFrame, AviClose};

struct FrameFormat {
    int32_t width = 0;
    int32_t height = 0;  // rows, always positive
    bool topDown = false;
    int bitCount = 0;
    uint32_t compression = 0;
    uint32_t headerSize = 0;
    uint32_t colorsUsed = 0;
};

// The fields of a bitmap info header that was already found usable.
FrameFormat ReadFormat(const uint8_t* format) {
    ByteReader r(format, 40);
    FrameFormat f;
    f.headerSize = r.u32();
    f.width = r.s32();
    const int32_t height = r.s32();
    r.skip(2);  // planes
    f.bitCount = r.u16();
    f.compression = r.u32();
    r.skip(12);  // image size, resolution
    f.colorsUsed = r.u32();
    f.topDown = height < 0;
    f.height = height < 0 ? static_cast<int32_t>(-int64_t{height}) : height;
    return f;
}

bool FrameMatches(const Image* frame, int32_t width, int32_t height, int depth) {
    return frame && ImageWidth(frame) == width && ImageHeight(frame) == height && ImageBitCount(frame) == depth;
}

// Whether a frame fits the format that the stream's first frame fixed. The
// colours of palette frames may change: the file says so before the frame.
bool FrameFitsFormat(const Image* frame, const uint8_t* format) {
    const FrameFormat f = ReadFormat(format);
    return FrameMatches(frame, f.width, f.height, f.bitCount);
}

// The rate that an open in write mode uses: the options' rate, or the first
// frame's own delay when the caller gave no options; never 0.
AviRate OpenRate(const StreamOpenRequest* request) {
    const auto* options = static_cast<const AviExportOptions*>(request->options);
    if (!options) return AviRateOfPeriod(AviFrameDelay(ImageGetDelay(request->image)));
    return {options->rate > 0 ? options->rate : 1, options->scale > 0 ? options->scale : 1};
}

// ---- The stream operations --------------------------------------------------------

// What the stream operations keep between calls, on the Stream's `state`:
// the half that does the file work (whose Windows record is the
// AviStreamState of avi_vfw_win32.cpp), the temporary file and the frames'
// format.
struct AviStreamRecord {
    int32_t mode;
    AviWriter* writer;
    AviReader* reader;
    bool failed;  // write mode: the file is gone; every later step fails
    char tempName[kMaxPath];
    uint8_t format[sizeof(BitmapInfo)];  // write mode: the frames' format, fixed by the first frame
    uint32_t formatSize;
};

AviStreamRecord* StateOf(Stream* stream) { return static_cast<AviStreamRecord*>(stream->state); }

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
    if (s->reader) AviReaderFree(s->reader);
    MemFree(s);
    stream->state = nullptr;
}

int OpenForWriting(Stream* stream, AviStreamRecord* s, StreamOpenRequest* request) {
    const Image* first = request->image;
    const int32_t headerSize = first ? ImageHeaderSize(first) : 0;
    if (headerSize < 40 || static_cast<size_t>(headerSize) > sizeof s->format) {
        request->error = kErrorInvalidData;
        return 0;
    }
    s->formatSize = static_cast<uint32_t>(headerSize);
    std::memcpy(s->format, ImageHeader(first), s->formatSize);
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
    auto* s = static_cast<AviStreamRecord*>(MemAlloc(sizeof(AviStreamRecord)));
    if (!s) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    std::memset(s, 0, sizeof *s);
    s->mode = request->mode;
    stream->state = s;
    int ok = 1;
    if (request->mode == 0) {
        s->reader = AviReaderOpen(stream->fileName, &stream->frameCount, &stream->frameRate, &request->error);
        ok = s->reader != nullptr;
    } else if (request->mode == 1) {
        ok = OpenForWriting(stream, s, request);
    }
    // A failed open leaves no stream behind it, so nothing else will release this.
    if (!ok) ReleaseState(stream);
    return ok;
}

Image* AviReadFrame(Stream* stream, StreamReadRequest* request) {
    AviStreamRecord* s = StateOf(stream);
    if (!s || s->mode != 0) {
        request->error = kErrorUnsupportedType;
        return nullptr;
    }
    if (request->frame < 0 || request->frame >= stream->frameCount) {
        request->error = kErrorRead;
        return nullptr;
    }
    return AviReaderFrame(s->reader, request->frame, &request->error);
}

int AviWriteFrame(Stream* stream, StreamFrameRequest* request) {
    AviStreamRecord* s = StateOf(stream);
    if (!s || s->mode != 1 || s->failed) {
        request->error = s && s->failed ? kErrorWrite : kErrorUnsupportedType;
        return 0;
    }
    const Image* frame = request->image;
    if (!FrameFitsFormat(frame, s->format)) {
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
    if (s->mode == 1 && !stream->abandoned) {
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

int32_t AviHeaderRate(uint32_t rate, uint32_t scale) {
    const uint32_t perSecond = rate / (scale > 0 ? scale : 1);
    if (perSecond == 0) return 1;
    return perSecond > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(perSecond);
}


bool AviFormatUsable(const uint8_t* format, uint32_t size) {
    if (!format || size < 40) return false;
    const FrameFormat f = ReadFormat(format);
    if (f.headerSize < 40 || f.headerSize > size) return false;
    if (f.bitCount != 8 && f.bitCount != 16 && f.bitCount != 24 && f.bitCount != 32) return false;
    if (f.width < 1 || f.width > kImageMaxDimension || f.height < 1 || f.height > kImageMaxDimension) return false;
    return DibStride(f.width, f.bitCount) * uint64_t(f.height) <= kImageMaxBitsSize;
}

uint64_t AviFrameSize(const uint8_t* format) {
    const FrameFormat f = ReadFormat(format);
    return DibStride(f.width, f.bitCount) * uint64_t(f.height);
}

bool AviFormatUncompressed(const uint8_t* format) { return ReadFormat(format).compression == kBiRgb; }

Image* AviCreateFrameImage(const uint8_t* format, uint32_t formatSize) {
    const FrameFormat f = ReadFormat(format);
    Image* image = ImageCreate(f.width, f.height, f.bitCount);
    if (!image) return nullptr;
    std::memset(ImageBits(image), 0, static_cast<size_t>(ImageBitsSize(image)));
    if (f.bitCount == 8) {
        // The colour table follows the header; a short one leaves the rest black.
        PaletteEntry entries[256] = {};
        const uint32_t available = (formatSize - f.headerSize) / 4;
        uint32_t count = f.colorsUsed == 0 || f.colorsUsed > 256 ? 256 : f.colorsUsed;
        if (count > available) count = available;
        PaletteExpand(entries, format + f.headerSize, static_cast<int>(count), 2);
        ImageSetPalette(image, entries);
    }
    return image;
}

Status AviCopyFrame(const uint8_t* format, const uint8_t* data, uint64_t size, Image* image) {
    const FrameFormat f = ReadFormat(format);
    if (!FrameMatches(image, f.width, f.height, f.bitCount)) return kErrorInvalidData;
    const size_t stride = static_cast<size_t>(ImageStride(image));
    if (size < AviFrameSize(format)) return kErrorInvalidData;
    if (!f.topDown) {
        std::memcpy(ImageBits(image), data, stride * static_cast<size_t>(f.height));
        return kErrorNone;
    }
    // The image keeps its rows bottom-up, so a top-down frame's first row is its top.
    for (int y = 0; y < f.height; ++y) std::memcpy(ImageRow(image, y), data + stride * static_cast<size_t>(y), stride);
    return kErrorNone;
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
