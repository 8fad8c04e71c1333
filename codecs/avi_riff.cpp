// The AVI stream where Video for Windows is not available: a writer and a
// reader of uncompressed AVI 1.0 files with one video stream.
//
// Written files hold, in this order: the RIFF 'AVI ' header, the 'hdrl' list
// (avih, then one 'strl' list with strh and strf), the 'movi' list with one
// '00db' chunk per frame (the rows exactly as they lie in the image, bottom-up
// and padded to 4 bytes, which is what the strf header describes), and the
// idx1 index with every frame a key frame. The header is written with zero
// counts at open and again with the final ones at close.
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
#include <cstring>
#include <new>

#include "codecs/avi.h"
#include "formats/byte_reader.h"
#include "formats/byte_writer.h"
#include "formats/mem_buffer.h"

namespace {

constexpr uint32_t FourCc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr uint32_t kIndexEntrySize = 16;
constexpr uint32_t kChunkHeaderSize = 8;
// Everything before the strf block, and the 'movi' list header after it.
constexpr uint32_t kHeaderBeforeFormat = 172;
constexpr uint32_t kMoviListHeader = 12;

struct FrameChunk {
    uint64_t offset;  // of the chunk's data in the file
    uint32_t size;
};

}  // namespace

struct AviWriter {
    FileHandle* file = nullptr;
    uint8_t format[sizeof(BitmapInfo)] = {};
    uint32_t formatSize = 0;  // even, as RIFF chunks are
    int32_t width = 0, height = 0;
    uint32_t frameBytes = 0;
    uint32_t rate = 0;
    uint32_t frames = 0;
    uint64_t fileSize = 0;
    MemBuffer* index = nullptr;
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

uint32_t HeaderSize(const AviWriter& s) { return kHeaderBeforeFormat + s.formatSize + kMoviListHeader; }

// The whole header up to the first frame chunk, with the counts so far.
uint32_t BuildHeader(const AviWriter& s, uint8_t* out) {
    const uint32_t size = HeaderSize(s);
    std::memset(out, 0, size);
    const uint64_t moviSize = s.fileSize - (size - 4);  // from the 'movi' type on
    const uint64_t indexSize = kChunkHeaderSize + uint64_t{s.frames} * kIndexEntrySize;
    const uint64_t maxBytesPerSecond = uint64_t{s.frameBytes + kChunkHeaderSize} * s.rate;

    PutU32(out + 0, FourCc("RIFF"));
    PutU32(out + 4, static_cast<uint32_t>(s.fileSize + indexSize - 8));
    PutU32(out + 8, FourCc("AVI "));
    PutU32(out + 12, FourCc("LIST"));
    PutU32(out + 16, kHeaderBeforeFormat + s.formatSize - 20);
    PutU32(out + 20, FourCc("hdrl"));

    uint8_t* avih = out + 24;
    PutU32(avih, FourCc("avih"));
    PutU32(avih + 4, 56);
    PutU32(avih + 8, 1000000 / s.rate);
    PutU32(avih + 12, maxBytesPerSecond > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(maxBytesPerSecond));
    PutU32(avih + 20, kAvifHasIndex);
    PutU32(avih + 24, s.frames);
    PutU32(avih + 32, 1);  // streams
    PutU32(avih + 36, s.frameBytes);
    PutU32(avih + 40, static_cast<uint32_t>(s.width));
    PutU32(avih + 44, static_cast<uint32_t>(s.height));

    PutU32(out + 88, FourCc("LIST"));
    PutU32(out + 92, kHeaderBeforeFormat + s.formatSize - 96);
    PutU32(out + 96, FourCc("strl"));

    uint8_t* strh = out + 100;
    PutU32(strh, FourCc("strh"));
    PutU32(strh + 4, 56);
    PutU32(strh + 8, FourCc("vids"));
    PutU32(strh + 12, FourCc("DIB "));
    PutU32(strh + 28, 1);  // scale
    PutU32(strh + 32, s.rate);
    PutU32(strh + 40, s.frames);
    PutU32(strh + 44, s.frameBytes);
    PutU32(strh + 48, 0xFFFFFFFFu);  // quality: the default
    PutU16(strh + 60, static_cast<uint32_t>(s.width));  // the frame rectangle, from (0, 0)
    PutU16(strh + 62, static_cast<uint32_t>(s.height));

    PutU32(out + 164, FourCc("strf"));
    PutU32(out + 168, s.formatSize);
    std::memcpy(out + kHeaderBeforeFormat, s.format, s.formatSize);

    uint8_t* movi = out + kHeaderBeforeFormat + s.formatSize;
    PutU32(movi, FourCc("LIST"));
    PutU32(movi + 4, static_cast<uint32_t>(moviSize));
    PutU32(movi + 8, FourCc("movi"));
    return size;
}

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
// list, including those inside 'rec ' lists.
template <typename Visit>
void ForEachFrameChunk(ByteReader& file, const VideoStream& video, Visit visit) {
    const uint32_t digits = uint32_t('0' + video.number / 10) | uint32_t('0' + video.number % 10) << 8;
    auto frameChunk = [&](uint32_t id, uint64_t data, uint32_t size) {
        if (id == (digits | uint32_t('d') << 16 | uint32_t('b') << 24) ||
            id == (digits | uint32_t('d') << 16 | uint32_t('c') << 24))
            visit(data, size);
    };
    ForEachChunk(file, video.moviBegin, video.moviEnd, [&](uint32_t id, uint64_t data, uint32_t size) {
        if (IsList(file, id, data, size, FourCc("rec ")))
            ForEachChunk(file, data + 4, data + size, frameChunk);
        else
            frameChunk(id, data, size);
    });
}

}  // namespace

// ---- Writing ------------------------------------------------------------------

AviWriter* AviWriterCreate(FileHandle* temp, const char*, const Image* first, uint32_t rate, void*, ErrorCode* error) {
    AviWriter* s = nullptr;
    // A failed start frees what it made and closes the file it was given.
    auto fail = [&](ErrorCode code) {
        if (s) AviWriterFree(s);  // closes the file too
        else FileClose(temp);
        *error = code;
        return nullptr;
    };
    const int depth = ImageBitCount(first);
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) return fail(kErrorColorNotSupported);
    s = NewInHeap<AviWriter>();
    if (!s) return fail(kErrorOutOfMemory);
    s->file = temp;
    const int32_t headerSize = ImageHeaderSize(first);
    s->width = ImageWidth(first);
    s->height = ImageHeight(first);
    s->frameBytes = static_cast<uint32_t>(ImageBitsSize(first));
    s->rate = rate;
    std::memcpy(s->format, ImageHeader(first), static_cast<size_t>(headerSize));
    s->formatSize = static_cast<uint32_t>(headerSize + (headerSize & 1));
    PutU32(s->format + 20, s->frameBytes);  // biSizeImage

    s->index = MemBufferCreate(kMemBufferGrowStep, kMemBufferGrowStep);
    if (!s->index) return fail(kErrorOutOfMemory);
    uint8_t header[kHeaderBeforeFormat + sizeof s->format + kMoviListHeader];
    s->fileSize = HeaderSize(*s);
    const uint32_t size = BuildHeader(*s, header);
    if (!FileWriteAll(s->file, header, size)) return fail(kErrorWrite);
    return s;
}

uint64_t AviWriterSizeAfter(const AviWriter* s, uint64_t frameBytes) {
    const uint64_t indexSize = kChunkHeaderSize + (uint64_t{s->frames} + 1) * kIndexEntrySize;
    return s->fileSize + kChunkHeaderSize + frameBytes + indexSize;
}

ErrorCode AviWriterWrite(AviWriter* s, const Image* frame, uint32_t position, bool* lost, WorkMeter* work) {
    // Frames go into the file in order; positions are only checked.
    if (position != s->frames) return kErrorWrite;
    uint8_t chunk[kChunkHeaderSize];
    PutU32(chunk, FourCc("00db"));
    PutU32(chunk + 4, s->frameBytes);
    uint8_t entry[kIndexEntrySize];
    PutU32(entry, FourCc("00db"));
    PutU32(entry + 4, kAviifKeyFrame);
    // Offsets count from the 'movi' type, as Video for Windows writes them.
    PutU32(entry + 8, static_cast<uint32_t>(s->fileSize - (HeaderSize(*s) - 4)));
    PutU32(entry + 12, s->frameBytes);
    ByteWriter index(s->index);
    index.write(entry, kIndexEntrySize);
    if (!index.ok()) return kErrorOutOfMemory;
    if (!FileWriteAll(s->file, chunk, sizeof chunk) || !FileWriteAll(s->file, ImageBits(frame), s->frameBytes, work)) {
        *lost = true;
        return kErrorWrite;
    }
    s->fileSize += kChunkHeaderSize + s->frameBytes;
    ++s->frames;
    return kErrorNone;
}

bool AviWriterFinish(AviWriter* s) {
    uint8_t indexHeader[kChunkHeaderSize];
    PutU32(indexHeader, FourCc("idx1"));
    PutU32(indexHeader + 4, s->frames * kIndexEntrySize);
    bool ok = FileWriteAll(s->file, indexHeader, sizeof indexHeader) && FileWriteAll(s->file, s->index->data, s->index->size);
    uint8_t header[kHeaderBeforeFormat + sizeof s->format + kMoviListHeader];
    const uint32_t size = ok ? BuildHeader(*s, header) : 0;
    ok = ok && FileSeek(s->file, 0, kSeekBegin) == 0 && FileWriteAll(s->file, header, size);
    FileHandle* file = s->file;
    s->file = nullptr;
    ok = FileClose(file) == 0 && ok;
    AviWriterFree(s);
    return ok;
}

void AviWriterFree(AviWriter* s) {
    if (s->file) FileClose(s->file);
    MemBufferFree(s->index);
    DeleteInHeap(s);
}

// ---- Reading ------------------------------------------------------------------

AviReader* AviReaderOpen(const char* fileName, int32_t* frameCount, int32_t* frameRate, ErrorCode* error) {
    AviReader* s = NewInHeap<AviReader>();
    auto fail = [&](ErrorCode code) {
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
    const uint64_t riffEnd = uint64_t{8} + file.u32At(4);
    const VideoStream video = FindVideoStream(file, riffEnd < file.size() ? riffEnd : file.size());
    if (video.number < 0 || video.number > 99 || video.moviEnd == 0 || !AviFormatUsable(video.format, video.formatSize))
        return fail(kErrorInvalidData);
    // Compressed frames need the platform's decompressors.
    if (!AviFormatUncompressed(video.format)) return fail(kErrorUnsupportedType);
    uint32_t count = 0;
    ForEachFrameChunk(file, video, [&](uint64_t, uint32_t) { ++count; });
    if (count > 0) {
        s->chunks = static_cast<FrameChunk*>(MemAlloc(sizeof(FrameChunk) * size_t{count}));
        if (!s->chunks) return fail(kErrorOutOfMemory);
        ForEachFrameChunk(file, video, [&](uint64_t data, uint32_t size) { s->chunks[s->chunkCount++] = {data, size}; });
    }
    s->format = video.format;
    s->formatSize = video.formatSize;
    *frameCount = static_cast<int32_t>(count);
    *frameRate = AviHeaderRate(video.rate, video.scale);
    return s;
}

Image* AviReaderFrame(AviReader* s, int32_t frame, ErrorCode* error) {
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
    const ErrorCode copied = AviCopyFrame(s->format, s->map.data + chunk.offset, chunk.size, s->frameImage);
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
