// The AVI stream where Video for Windows is not available: a writer and a
// reader of uncompressed AVI files with one video stream.
//
// Written files (through avi_writer.h, AVI 1.0 up to 1 GiB and OpenDML past
// it) hold one '00db' chunk per frame: the rows exactly as they lie in the
// image, bottom-up and padded to 4 bytes, which is what the strf header
// describes. A frame that shows for longer than the stream's frame period is
// followed by empty chunks, which players read as the frame repeated.
//
// What real files do that the format does not allow, and what the reader
// does (the test that pins it, in tests/unit/avi_test.cpp):
// - Chunks and lists whose size runs past their parent or the file, the RIFF
//   size among them (a writer that stopped short): cut at that end, so the
//   file gives what it holds; a frame cut short fails alone.
//   AviRead.CutAndOversizedChunksGiveWhatTheFileHolds
// - A stream header scale of 0: counts as 1.
//   AviRead.CutAndOversizedChunksGiveWhatTheFileHolds
// - A missing or wrong idx1 index (files cut short have none): it is never
//   read; the frames are found in the 'movi' list.
//   AviRead.TopDownRowsRecListsAndDroppedFrames
#include <algorithm>
#include <cstring>
#include <new>

#include "codecs/avi.h"
#include "codecs/avi_writer.h"
#include "formats/byte_reader.h"
#include "formats/byte_writer.h"
#include "formats/mem_buffer.h"

namespace {

constexpr uint32_t FourCc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

constexpr uint32_t kChunkHeaderSize = 8;
// The most frames one write may skip, each written as an empty chunk: a
// frame that shows for 17 minutes at 1000 frames per second.
constexpr uint32_t kMaxSkippedFrames = uint32_t{1} << 20;

struct FrameChunk {
    uint64_t offset;  // of the chunk's data in the file
    uint32_t size;
};

}  // namespace

struct AviWriter {
    AviOutput out = {};
    uint32_t frameBytes = 0;
    uint8_t* wide = nullptr;  // palette frames: one frame's 24-bit rows
};

struct AviReader {
    MappedFile map;
    const uint8_t* format = nullptr;  // inside the mapped file
    uint32_t formatSize = 0;
    FrameChunk* chunks = nullptr;
    uint32_t chunkCount = 0;
    Image* frameImage = nullptr;
};

namespace {

// A writer made by `new` in a block of the library's heap.
template <typename T>
T* NewInHeap() {
    void* block = MemAlloc(sizeof(T));
    return block ? new (block) T{} : nullptr;
}
template <typename T>
void DeleteInHeap(T* object) {
    object->~T();
    MemFree(object);
}

// ---- Reading ------------------------------------------------------------------

// Calls visit(id, dataOffset, size) for every chunk in [begin, end). A chunk
// whose size runs past the end is cut at the end: a file whose writer stopped
// short still gives what it holds.
template <typename Visit>
void ForEachChunk(ByteReader& file, uint64_t begin, uint64_t end, Visit visit) {
    uint64_t at = begin;
    while (end >= at + kChunkHeaderSize) {
        const uint32_t id = file.u32At(static_cast<size_t>(at));
        const uint32_t size = file.u32At(static_cast<size_t>(at) + 4);
        const uint64_t data = at + kChunkHeaderSize;
        const uint64_t available = end - data;
        visit(id, data, size < available ? size : static_cast<uint32_t>(available));
        at = data + size + (size & 1);  // grows by 8 or more, so the walk ends
    }
}

bool IsList(ByteReader& file, uint32_t id, uint64_t data, uint32_t size, uint32_t type) {
    return id == FourCc("LIST") && size >= 4 && file.u32At(static_cast<size_t>(data)) == type;
}

struct VideoStream {
    int number = -1;
    const uint8_t* format = nullptr;
    uint32_t formatSize = 0;
    uint32_t rate = 0, scale = 0;
    uint64_t moviBegin = 0, moviEnd = 0;
};

// Finds the first video stream and the 'movi' list.
VideoStream FindVideoStream(ByteReader& file, uint64_t riffEnd) {
    VideoStream video;
    ForEachChunk(file, 12, riffEnd, [&](uint32_t id, uint64_t data, uint32_t size) {
        if (IsList(file, id, data, size, FourCc("movi")) && video.moviEnd == 0) {
            video.moviBegin = data + 4;
            video.moviEnd = data + size;
        }
        if (!IsList(file, id, data, size, FourCc("hdrl"))) return;
        int streams = 0;
        ForEachChunk(file, data + 4, data + size, [&](uint32_t listId, uint64_t list, uint32_t listSize) {
            if (!IsList(file, listId, list, listSize, FourCc("strl"))) return;
            const int number = streams++;
            if (video.number >= 0) return;
            bool isVideo = false;
            VideoStream found;
            ForEachChunk(file, list + 4, list + listSize, [&](uint32_t chunkId, uint64_t chunk, uint32_t chunkSize) {
                if (chunkId == FourCc("strh") && chunkSize >= 32) {
                    isVideo = file.u32At(static_cast<size_t>(chunk)) == FourCc("vids");
                    found.scale = file.u32At(static_cast<size_t>(chunk) + 20);
                    found.rate = file.u32At(static_cast<size_t>(chunk) + 24);
                } else if (chunkId == FourCc("strf") && !found.format) {
                    found.format = file.data() + chunk;
                    found.formatSize = chunkSize;
                }
            });
            if (isVideo && found.format) {
                found.number = number;
                found.moviBegin = video.moviBegin;
                found.moviEnd = video.moviEnd;
                video = found;
            }
        });
    });
    return video;
}

// Calls visit(dataOffset, size) for every chunk of the stream in the 'movi'
// list, including those inside 'rec ' lists, and then in the 'movi' lists of
// the OpenDML parts ('AVIX') that follow the first RIFF.
template <typename Visit>
void ForEachFrameChunk(ByteReader& file, const VideoStream& video, uint64_t riffEnd, Visit visit) {
    const uint32_t digits = uint32_t('0' + video.number / 10) | uint32_t('0' + video.number % 10) << 8;
    auto frameChunk = [&](uint32_t id, uint64_t data, uint32_t size) {
        if (id == (digits | uint32_t('d') << 16 | uint32_t('b') << 24) ||
            id == (digits | uint32_t('d') << 16 | uint32_t('c') << 24))
            visit(data, size);
    };
    auto moviChunk = [&](uint32_t id, uint64_t data, uint32_t size) {
        if (IsList(file, id, data, size, FourCc("rec ")))
            ForEachChunk(file, data + 4, data + size, frameChunk);
        else
            frameChunk(id, data, size);
    };
    ForEachChunk(file, video.moviBegin, video.moviEnd, moviChunk);
    ForEachChunk(file, riffEnd + (riffEnd & 1), file.size(), [&](uint32_t id, uint64_t data, uint32_t size) {
        if (id != FourCc("RIFF") || size < 4 || file.u32At(static_cast<size_t>(data)) != FourCc("AVIX")) return;
        ForEachChunk(file, data + 4, data + size, [&](uint32_t listId, uint64_t list, uint32_t listSize) {
            if (IsList(file, listId, list, listSize, FourCc("movi"))) ForEachChunk(file, list + 4, list + listSize, moviChunk);
        });
    });
}

}  // namespace

// ---- Writing ------------------------------------------------------------------

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
    s = NewInHeap<AviWriter>();
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
        if (error != kErrorNone) {
            *lost = true;
            return error;
        }
    }
    if (!frame) return kErrorNone;
    if (s->wide) AviWidenRows(frame, s->wide);
    const Status error = AviFileWriterFrame(s->out.writer, s->wide ? s->wide : ImageBits(frame), s->frameBytes, true, work);
    *lost = error != kErrorNone;
    return error;
}

uint32_t AviWriterFrames(const AviWriter* s) { return AviFileWriterFrames(s->out.writer); }

AviOutput& AviWriterOutput(AviWriter* s) { return s->out; }

void AviWriterFree(AviWriter* s) {
    if (s->out.file) FileClose(s->out.file);
    AviFileWriterFree(s->out.writer);
    MemFree(s->wide);
    DeleteInHeap(s);
}

// ---- Reading ------------------------------------------------------------------

AviReader* AviReaderOpen(const char* fileName, int32_t* frameCount, int32_t* frameRate, Status* error) {
    AviReader* s = NewInHeap<AviReader>();
    auto fail = [&](Status code) {
        if (s) AviReaderFree(s);
        *error = code;
        return nullptr;
    };
    if (!s) return fail(kErrorOutOfMemory);
    switch (MappedFileOpen(fileName, &s->map)) {
        case MapResult::ok: break;
        case MapResult::cannotOpen: return fail(kErrorFileNotFound);
        case MapResult::cannotMap: return fail(s->map.size == 0 ? kErrorInvalidData : kErrorOutOfMemory);
    }
    ByteReader file(s->map.data, static_cast<size_t>(s->map.size));
    if (file.u32At(0) != FourCc("RIFF") || file.u32At(8) != FourCc("AVI ")) return fail(kErrorInvalidData);
    const uint64_t riffEnd = std::min<uint64_t>(uint64_t{8} + file.u32At(4), file.size());
    const VideoStream video = FindVideoStream(file, riffEnd);
    if (video.number < 0 || video.number > 99 || video.moviEnd == 0 || !AviFormatUsable(video.format, video.formatSize))
        return fail(kErrorInvalidData);
    // Compressed frames need the platform's decompressors.
    if (!AviFormatUncompressed(video.format)) return fail(kErrorUnsupportedType);
    uint32_t count = 0;
    ForEachFrameChunk(file, video, riffEnd, [&](uint64_t, uint32_t) { ++count; });
    if (count > 0) {
        s->chunks = static_cast<FrameChunk*>(MemAlloc(sizeof(FrameChunk) * size_t{count}));
        if (!s->chunks) return fail(kErrorOutOfMemory);
        ForEachFrameChunk(file, video, riffEnd, [&](uint64_t data, uint32_t size) { s->chunks[s->chunkCount++] = {data, size}; });
    }
    s->format = video.format;
    s->formatSize = video.formatSize;
    *frameCount = static_cast<int32_t>(count);
    *frameRate = AviHeaderRate(video.rate, video.scale);
    return s;
}

Image* AviReaderFrame(AviReader* s, int32_t frame, Status* error) {
    const FrameChunk& chunk = s->chunks[frame];
    // Checked before the image is made, so that a small damaged file cannot
    // make it allocate a large picture.
    if (chunk.size != 0 && chunk.size < AviFrameSize(s->format)) {
        *error = kErrorInvalidData;
        return nullptr;
    }
    if (!s->frameImage) {
        s->frameImage = AviCreateFrameImage(s->format, s->formatSize);
        if (!s->frameImage) {
            *error = kErrorOutOfMemory;
            return nullptr;
        }
    }
    // An empty chunk is a dropped frame: the picture stays as it was.
    if (chunk.size == 0) return s->frameImage;
    const Status copied = AviCopyFrame(s->format, s->map.data + chunk.offset, chunk.size, s->frameImage);
    if (copied != kErrorNone) {
        *error = copied;
        return nullptr;
    }
    return s->frameImage;
}

void AviReaderFree(AviReader* s) {
    MappedFileClose(&s->map);
    MemFree(s->chunks);
    ImageDestroy(s->frameImage);
    DeleteInHeap(s);
}
