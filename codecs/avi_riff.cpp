// The AVI stream where Video for Windows is not available: a writer of
// uncompressed AVI files with one video stream.
//
// Written files (through avi_writer.h, AVI 1.0 up to 1 GiB and OpenDML past
// it) hold one '00db' chunk per frame: the rows exactly as they lie in the
// image, bottom-up and padded to 4 bytes, which is what the strf header
// describes. A frame that shows for longer than the stream's frame period is
// followed by empty chunks, which players read as the frame repeated.
#include <cstring>
#include <new>

#include "codecs/avi.h"
#include "codecs/avi_writer.h"
#include "formats/byte_writer.h"

namespace {

constexpr uint32_t FourCc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

// The most frames one write may skip, each written as an empty chunk: a
// frame that shows for 17 minutes at 1000 frames per second.
constexpr uint32_t kMaxSkippedFrames = uint32_t{1} << 20;

}  // namespace

struct AviWriter {
    AviOutput out = {};
    uint32_t frameBytes = 0;
    uint8_t* wide = nullptr;  // palette frames: one frame's 24-bit rows
};

AviWriter* AviWriterCreate(FileHandle* temp, const char*, const Image* first, uint32_t rate, uint32_t scale, void*,
                           Status* error) {
    AviWriter* s = nullptr;
    // A failed start frees what it made and closes the file it was given.
    auto fail = [&](Status code) {
        if (s) AviWriterFree(s);  // closes the file too
        else FileClose(temp);
        *error = code;
        return nullptr;
    };
    const int depth = ImageBitCount(first);
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) return fail(kErrorColorNotSupported);
    s = new (std::nothrow) AviWriter;
    if (!s) return fail(kErrorOutOfMemory);
    s->out.file = temp;
    // Palette frames are written as 24-bit rows: players that read through
    // Video for Windows' AVIFile (and others) never apply the palette
    // changes of an uncompressed stream, so 8-bit frames would show later
    // frames in the first frame's colours.
    uint8_t format[sizeof(BitmapInfo)];
    int32_t headerSize = 40;
    if (depth == 8) {
        AviHeader24(first, format);
    } else {
        headerSize = ImageHeaderSize(first);
        std::memcpy(format, ImageHeader(first), static_cast<size_t>(headerSize));
        PutU32(format + 20, static_cast<uint32_t>(ImageBitsSize(first)));  // biSizeImage
    }
    s->frameBytes = depth == 8 ? static_cast<uint32_t>(DibStride(ImageWidth(first), 24) * uint64_t(ImageHeight(first)))
                               : static_cast<uint32_t>(ImageBitsSize(first));
    if (depth == 8) {
        s->wide = static_cast<uint8_t*>(MemAlloc(s->frameBytes));
        if (!s->wide) return fail(kErrorOutOfMemory);
    }
    AviVideoFormat video;
    video.format = format;
    video.formatSize = static_cast<uint32_t>(headerSize);
    video.handler = FourCc("DIB ");
    video.rate = rate;
    video.scale = scale;
    s->out.writer = AviFileWriterCreate(temp, video, error);
    return s->out.writer ? s : fail(*error);
}

Status AviWriterWrite(AviWriter* s, const Image* frame, uint32_t position, bool* lost, WorkMeter* work) {
    // Frames go into the file in order; a position past the next one repeats
    // the frame before it, as an empty chunk, until there.
    const uint32_t next = AviFileWriterFrames(s->out.writer);
    if (position < next || position - next > kMaxSkippedFrames || (next == 0 && position > 0)) return kErrorWrite;
    for (uint32_t n = next; n < position; ++n) {
        const Status error = AviFileWriterFrame(s->out.writer, nullptr, 0, false, work);
        if (!error.ok()) {
            *lost = true;
            return error;
        }
    }
    if (!frame) return kErrorNone;
    if (s->wide) AviWidenRows(frame, s->wide);
    const Status error = AviFileWriterFrame(s->out.writer, s->wide ? s->wide : ImageBits(frame), s->frameBytes, true, work);
    *lost = !error.ok();
    return error;
}

uint32_t AviWriterFrames(const AviWriter* s) { return AviFileWriterFrames(s->out.writer); }

AviOutput& AviWriterOutput(AviWriter* s) { return s->out; }

void AviWriterFree(AviWriter* s) {
    if (s->out.file) FileClose(s->out.file);
    AviFileWriterFree(s->out.writer);
    MemFree(s->wide);
    delete s;
}
