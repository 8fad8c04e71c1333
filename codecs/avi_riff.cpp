// The AVI stream where Video for Windows is not available: a writer and a
// reader of uncompressed AVI 1.0 files with one video stream.
//
// Written files hold, in this order: the RIFF 'AVI ' header, the 'hdrl' list
// (avih, then one 'strl' list with strh and strf), the 'movi' list with one
// '00db' chunk per frame (the rows exactly as they lie in the image, bottom-up
// and padded to 4 bytes, which is what the strf header describes), and the
// idx1 index with every frame a key frame. The header is written with zero
// counts at open and again with the final ones at close.
#include <cstring>
#include <new>

#include "codecs/avi.h"
#include "formats/byte_reader.h"
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

struct AviStreamState {
    int32_t mode = 0;
    // Write mode.
    FileHandle* file = nullptr;
    char tempName[kMaxPath] = {};
    bool failed = false;  // the file is gone; every later step fails
    uint8_t format[sizeof(BitmapInfo)] = {};
    uint32_t formatSize = 0;  // even, as RIFF chunks are
    int32_t width = 0, height = 0;
    int depth = 0;
    uint32_t frameBytes = 0;
    uint32_t rate = 0;
    uint32_t frames = 0;
    uint64_t fileSize = 0;
    MemBuffer* index = nullptr;
    uint8_t* indexEnd = nullptr;
    // Read mode.
    MappedFile map;
    const uint8_t* readFormat = nullptr;  // inside the mapped file
    uint32_t readFormatSize = 0;
    FrameChunk* chunks = nullptr;
    uint32_t chunkCount = 0;
    Image* frameImage = nullptr;
};

AviStreamState* StateOf(Stream* stream) { return static_cast<AviStreamState*>(stream->state); }

void Put16(uint8_t* at, uint32_t v) {
    at[0] = uint8_t(v);
    at[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* at, uint32_t v) {
    Put16(at, v);
    Put16(at + 2, v >> 16);
}

uint32_t HeaderSize(const AviStreamState& s) { return kHeaderBeforeFormat + s.formatSize + kMoviListHeader; }

// The whole header up to the first frame chunk, with the counts so far.
uint32_t BuildHeader(const AviStreamState& s, uint8_t* out) {
    const uint32_t size = HeaderSize(s);
    std::memset(out, 0, size);
    const uint64_t moviSize = s.fileSize - (size - 4);  // from the 'movi' type on
    const uint64_t indexSize = kChunkHeaderSize + uint64_t{s.frames} * kIndexEntrySize;
    const uint64_t maxBytesPerSecond = uint64_t{s.frameBytes + kChunkHeaderSize} * s.rate;

    Put32(out + 0, FourCc("RIFF"));
    Put32(out + 4, static_cast<uint32_t>(s.fileSize + indexSize - 8));
    Put32(out + 8, FourCc("AVI "));
    Put32(out + 12, FourCc("LIST"));
    Put32(out + 16, kHeaderBeforeFormat + s.formatSize - 20);
    Put32(out + 20, FourCc("hdrl"));

    uint8_t* avih = out + 24;
    Put32(avih, FourCc("avih"));
    Put32(avih + 4, 56);
    Put32(avih + 8, 1000000 / s.rate);
    Put32(avih + 12, maxBytesPerSecond > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(maxBytesPerSecond));
    Put32(avih + 20, kAvifHasIndex);
    Put32(avih + 24, s.frames);
    Put32(avih + 32, 1);  // streams
    Put32(avih + 36, s.frameBytes);
    Put32(avih + 40, static_cast<uint32_t>(s.width));
    Put32(avih + 44, static_cast<uint32_t>(s.height));

    Put32(out + 88, FourCc("LIST"));
    Put32(out + 92, kHeaderBeforeFormat + s.formatSize - 96);
    Put32(out + 96, FourCc("strl"));

    uint8_t* strh = out + 100;
    Put32(strh, FourCc("strh"));
    Put32(strh + 4, 56);
    Put32(strh + 8, FourCc("vids"));
    Put32(strh + 12, FourCc("DIB "));
    Put32(strh + 28, 1);  // scale
    Put32(strh + 32, s.rate);
    Put32(strh + 40, s.frames);
    Put32(strh + 44, s.frameBytes);
    Put32(strh + 48, 0xFFFFFFFFu);  // quality: the default
    Put16(strh + 60, static_cast<uint32_t>(s.width));  // the frame rectangle, from (0, 0)
    Put16(strh + 62, static_cast<uint32_t>(s.height));

    Put32(out + 164, FourCc("strf"));
    Put32(out + 168, s.formatSize);
    std::memcpy(out + kHeaderBeforeFormat, s.format, s.formatSize);

    uint8_t* movi = out + kHeaderBeforeFormat + s.formatSize;
    Put32(movi, FourCc("LIST"));
    Put32(movi + 4, static_cast<uint32_t>(moviSize));
    Put32(movi + 8, FourCc("movi"));
    return size;
}

// Drops the unfinished file: after this the stream only fails.
void DiscardFile(AviStreamState* s) {
    if (s->file) FileClose(s->file);
    s->file = nullptr;
    if (s->tempName[0]) TempFileDiscard(s->tempName);
    s->tempName[0] = '\0';
    s->failed = true;
}

void ReleaseState(Stream* stream) {
    AviStreamState* s = StateOf(stream);
    if (!s) return;
    if (s->file || s->tempName[0]) DiscardFile(s);
    MemBufferFree(s->index);
    MappedFileClose(&s->map);
    MemFree(s->chunks);
    ImageDestroy(s->frameImage);
    s->~AviStreamState();
    MemFree(s);
    stream->state = nullptr;
}

int OpenForWriting(Stream* stream, AviStreamState* s, StreamOpenRequest* request) {
    const Image* first = request->image;
    if (!first) {
        request->error = kErrorInvalidData;
        return 0;
    }
    s->depth = ImageBitCount(first);
    if (s->depth != 8 && s->depth != 16 && s->depth != 24 && s->depth != 32) {
        request->error = kErrorColorNotSupported;
        return 0;
    }
    const int32_t headerSize = ImageHeaderSize(first);
    if (headerSize < 40 || static_cast<size_t>(headerSize) > sizeof s->format) {
        request->error = kErrorInvalidData;
        return 0;
    }
    s->width = ImageWidth(first);
    s->height = ImageHeight(first);
    s->frameBytes = static_cast<uint32_t>(ImageBitsSize(first));
    s->rate = AviOpenRate(request);
    std::memcpy(s->format, ImageHeader(first), static_cast<size_t>(headerSize));
    s->formatSize = static_cast<uint32_t>(headerSize + (headerSize & 1));
    Put32(s->format + 20, s->frameBytes);  // biSizeImage

    s->index = MemBufferCreate(kMemBufferGrowStep, kMemBufferGrowStep);
    if (!s->index) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    s->indexEnd = s->index->data;
    s->file = FileCreateTempBeside(stream->fileName, s->tempName);
    if (!s->file) {
        request->error = kErrorWrite;
        return 0;
    }
    uint8_t header[kHeaderBeforeFormat + sizeof s->format + kMoviListHeader];
    s->fileSize = HeaderSize(*s);
    const uint32_t size = BuildHeader(*s, header);
    if (!FileWriteAll(s->file, header, size)) {
        request->error = kErrorWrite;
        return 0;
    }
    return 1;
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

int OpenForReading(Stream* stream, AviStreamState* s, StreamOpenRequest* request) {
    switch (MappedFileOpen(stream->fileName, &s->map)) {
        case MapResult::ok: break;
        case MapResult::cannotOpen: request->error = kErrorFileNotFound; return 0;
        case MapResult::cannotMap: request->error = s->map.size == 0 ? kErrorInvalidData : kErrorOutOfMemory; return 0;
    }
    ByteReader file(s->map.data, static_cast<size_t>(s->map.size));
    if (file.u32At(0) != FourCc("RIFF") || file.u32At(8) != FourCc("AVI ")) {
        request->error = kErrorInvalidData;
        return 0;
    }
    const uint64_t riffEnd = uint64_t{8} + file.u32At(4);
    const VideoStream video = FindVideoStream(file, riffEnd < file.size() ? riffEnd : file.size());
    if (video.number < 0 || video.number > 99 || video.moviEnd == 0 || !AviFormatUsable(video.format, video.formatSize)) {
        request->error = kErrorInvalidData;
        return 0;
    }
    if (!AviFormatUncompressed(video.format)) {
        request->error = kErrorUnsupportedType;  // compressed frames need the platform's decompressors
        return 0;
    }
    uint32_t count = 0;
    ForEachFrameChunk(file, video, [&](uint64_t, uint32_t) { ++count; });
    if (count > 0) {
        s->chunks = static_cast<FrameChunk*>(MemAlloc(sizeof(FrameChunk) * size_t{count}));
        if (!s->chunks) {
            request->error = kErrorOutOfMemory;
            return 0;
        }
        ForEachFrameChunk(file, video, [&](uint64_t data, uint32_t size) { s->chunks[s->chunkCount++] = {data, size}; });
    }
    s->readFormat = video.format;
    s->readFormatSize = video.formatSize;
    stream->frameCount = static_cast<int32_t>(count);
    stream->frameRate = AviHeaderRate(video.rate, video.scale);
    return 1;
}

}  // namespace

int AviOpen(Stream* stream, StreamOpenRequest* request) {
    void* block = MemAlloc(sizeof(AviStreamState));
    if (!block) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    auto* s = new (block) AviStreamState{};
    s->mode = request->mode;
    stream->state = s;
    int ok = 1;
    if (request->mode == 0) ok = OpenForReading(stream, s, request);
    else if (request->mode == 1) ok = OpenForWriting(stream, s, request);
    // A failed open leaves no stream behind it, so nothing else will release this.
    if (!ok) ReleaseState(stream);
    return ok;
}

Image* AviReadFrame(Stream* stream, StreamReadRequest* request) {
    AviStreamState* s = StateOf(stream);
    if (!s || s->mode != 0) {
        request->error = kErrorUnsupportedType;
        return nullptr;
    }
    if (request->frame < 0 || static_cast<uint32_t>(request->frame) >= s->chunkCount) {
        request->error = kErrorRead;
        return nullptr;
    }
    const FrameChunk& chunk = s->chunks[request->frame];
    // Checked before the image is made, so that a small damaged file cannot
    // make it allocate a large picture.
    if (chunk.size != 0 && chunk.size < AviFrameSize(s->readFormat)) {
        request->error = kErrorInvalidData;
        return nullptr;
    }
    if (!s->frameImage) {
        s->frameImage = AviCreateFrameImage(s->readFormat, s->readFormatSize);
        if (!s->frameImage) {
            request->error = kErrorOutOfMemory;
            return nullptr;
        }
    }
    // An empty chunk is a dropped frame: the picture stays as it was.
    if (chunk.size == 0) return s->frameImage;
    const ErrorCode error = AviCopyFrame(s->readFormat, s->map.data + chunk.offset, chunk.size, s->frameImage);
    if (error != kErrorNone) {
        request->error = error;
        return nullptr;
    }
    return s->frameImage;
}

int AviWriteFrame(Stream* stream, StreamFrameRequest* request) {
    AviStreamState* s = StateOf(stream);
    if (!s || s->mode != 1 || s->failed) {
        request->error = s && s->failed ? kErrorWrite : kErrorUnsupportedType;
        return 0;
    }
    // Frames go into the file in order; positions are only checked.
    if (AviFramePosition(request) != s->frames) {
        request->error = kErrorWrite;
        return 0;
    }
    if (!AviFrameFitsFormat(request->image, s->format, s->formatSize)) {
        request->error = kErrorInvalidData;
        return 0;
    }
    const uint64_t indexSize = kChunkHeaderSize + (uint64_t{s->frames} + 1) * kIndexEntrySize;
    const uint64_t afterFrame = s->fileSize + kChunkHeaderSize + s->frameBytes;
    if (afterFrame + indexSize > AviSizeLimit()) {
        DiscardFile(s);
        request->error = kErrorWrite;
        return 0;
    }
    uint8_t chunk[kChunkHeaderSize];
    Put32(chunk, FourCc("00db"));
    Put32(chunk + 4, s->frameBytes);
    uint8_t entry[kIndexEntrySize];
    Put32(entry, FourCc("00db"));
    Put32(entry + 4, kAviifKeyFrame);
    // Offsets count from the 'movi' type, as Video for Windows writes them.
    Put32(entry + 8, static_cast<uint32_t>(s->fileSize - (HeaderSize(*s) - 4)));
    Put32(entry + 12, s->frameBytes);
    uint8_t* indexEnd = MemBufferWrite(s->index, s->indexEnd, entry, kIndexEntrySize);
    if (!indexEnd) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    if (!FileWriteAll(s->file, chunk, sizeof chunk) || !FileWriteAll(s->file, ImageBits(request->image), s->frameBytes)) {
        DiscardFile(s);
        request->error = kErrorWrite;
        return 0;
    }
    s->indexEnd = indexEnd;
    s->fileSize = afterFrame;
    ++s->frames;
    return 1;
}

int AviClose(Stream* stream, StreamCloseRequest* request) {
    AviStreamState* s = StateOf(stream);
    int ok = 1;
    if (s && s->mode == 1 && !stream->abandoned) {
        ok = !s->failed;
        if (ok) {
            uint8_t indexHeader[kChunkHeaderSize];
            Put32(indexHeader, FourCc("idx1"));
            Put32(indexHeader + 4, s->frames * kIndexEntrySize);
            ok = FileWriteAll(s->file, indexHeader, sizeof indexHeader) &&
                 FileWriteAll(s->file, s->index->data, s->index->size);
        }
        uint8_t header[kHeaderBeforeFormat + sizeof s->format + kMoviListHeader];
        const uint32_t size = ok ? BuildHeader(*s, header) : 0;
        ok = ok && FileSeek(s->file, 0, kSeekBegin) == 0 && FileWriteAll(s->file, header, size);
        if (ok) {
            FileHandle* file = s->file;
            s->file = nullptr;
            ok = FileClose(file) == 0 && TempFilePutInPlace(s->tempName, stream->fileName);
            if (ok) s->tempName[0] = '\0';  // it is the real file now
        }
        if (!ok) request->error = kErrorWrite;
    }
    ReleaseState(stream);
    return ok;
}
