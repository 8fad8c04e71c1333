#include "codecs/avi_writer.h"

#include <cstring>
#include <new>

#include "codecs/avi.h"
#include "formats/byte_writer.h"
#include "formats/mem_buffer.h"
#include "formats/save.h"

namespace {

constexpr uint32_t FourCc(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr uint32_t kAvisfVideoPalChanges = 0x10000;
constexpr uint32_t kStdIndexNotKey = 0x80000000u;
constexpr uint32_t kChunkHeader = 8;
constexpr uint32_t kListHeader = 12;
constexpr uint32_t kLegacyEntry = 16;     // an idx1 entry
constexpr uint32_t kStdEntry = 8;         // an ix00 entry
constexpr uint32_t kIndexHeader = 24;     // after the chunk header, in ix00 and indx alike
constexpr uint32_t kSuperEntry = 16;
constexpr uint32_t kDmlhSize = 248;
// A part ends after this many frames however small they are, so that the
// index entries held in memory stay bounded (24 bytes a frame at most).
constexpr uint32_t kMaxPartEntries = uint32_t{1} << 18;
constexpr uint32_t kMaxFormatSize = 40 + 256 * 4;
constexpr int32_t kIndexGrowStep = 1 << 20;

// Offsets of the header block, which is written at the start and again, with
// the final counts, at the end: everything before the first 'movi' data.
constexpr uint32_t kAvih = 24;
constexpr uint32_t kStrl = 88;
constexpr uint32_t kStrh = 100;
constexpr uint32_t kStrf = 164;
constexpr uint32_t kSuperIndexSize = kChunkHeader + kIndexHeader + kAviMaxParts * kSuperEntry;
constexpr uint32_t kOdmlSize = kListHeader + kChunkHeader + kDmlhSize;

uint64_t gPartSize = kAviPartSize;

struct SuperEntry {
    uint64_t offset;  // of the part's ix00 chunk
    uint32_t size;    // of the whole chunk
    uint32_t frames;
};

}  // namespace

struct AviFileWriter {
    FileHandle* file = nullptr;
    AviVideoFormat video;
    uint8_t format[kMaxFormatSize] = {};
    uint32_t frameId = 0;  // '00db' or '00dc'
    int32_t width = 0, height = 0;
    uint64_t fileSize = 0;  // where the next chunk goes: the writer only appends
    uint32_t frames = 0;
    uint32_t largestChunk = 0;
    bool palChanges = false;
    uint8_t colors[256 * 4] = {};  // 8-bit frames: the colour table in effect
    // The part being written.
    uint32_t parts = 0;
    uint64_t partStart = 0;
    uint64_t moviStart = 0;  // its 'movi' list's header
    uint32_t partFrames = 0;
    MemBuffer* stdIndex = nullptr;
    // The first part's.
    MemBuffer* legacyIndex = nullptr;
    uint32_t firstPartFrames = 0;
    uint32_t firstMoviSize = 0;
    SuperEntry super[kAviMaxParts] = {};
};

namespace {

uint32_t HeaderSize(const AviFileWriter& s) {
    return kStrf + kChunkHeader + s.video.formatSize + kSuperIndexSize + kOdmlSize + kListHeader;
}
bool OpenDml(const AviFileWriter& s) { return s.parts > 1; }
uint32_t Clamp32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

// The header block up to the first part's 'movi' data, with the counts so far.
void BuildHeader(const AviFileWriter& s, uint8_t* out) {
    const uint32_t size = HeaderSize(s);
    std::memset(out, 0, size);
    const uint32_t formatSize = s.video.formatSize;
    const uint32_t superAt = kStrf + kChunkHeader + formatSize;
    const uint32_t odmlAt = superAt + kSuperIndexSize;
    const uint32_t moviAt = odmlAt + kOdmlSize;
    const uint64_t perSecond = (uint64_t{s.largestChunk} + kChunkHeader) * s.video.rate / s.video.scale;

    PutU32(out + 0, FourCc("RIFF"));
    // The RIFF size at 4 is written when the first part ends.
    PutU32(out + 8, FourCc("AVI "));
    PutU32(out + 12, FourCc("LIST"));
    PutU32(out + 16, moviAt - 20);
    PutU32(out + 20, FourCc("hdrl"));

    uint8_t* avih = out + kAvih;
    PutU32(avih, FourCc("avih"));
    PutU32(avih + 4, 56);
    PutU32(avih + 8, Clamp32(uint64_t{1000000} * s.video.scale / s.video.rate));
    PutU32(avih + 12, Clamp32(perSecond));
    PutU32(avih + 20, kAvifHasIndex);
    // OpenDML: the frames of the first part, which AVI 1.0 readers see.
    PutU32(avih + 24, OpenDml(s) ? s.firstPartFrames : s.frames);
    PutU32(avih + 32, 1);  // streams
    PutU32(avih + 36, s.largestChunk);
    PutU32(avih + 40, static_cast<uint32_t>(s.width));
    PutU32(avih + 44, static_cast<uint32_t>(s.height));

    PutU32(out + kStrl, FourCc("LIST"));
    PutU32(out + kStrl + 4, odmlAt - (kStrl + 8));
    PutU32(out + kStrl + 8, FourCc("strl"));

    uint8_t* strh = out + kStrh;
    PutU32(strh, FourCc("strh"));
    PutU32(strh + 4, 56);
    PutU32(strh + 8, FourCc("vids"));
    PutU32(strh + 12, s.video.handler);
    PutU32(strh + 16, s.palChanges ? kAvisfVideoPalChanges : 0);
    PutU32(strh + 28, s.video.scale);
    PutU32(strh + 32, s.video.rate);
    PutU32(strh + 40, s.frames);
    PutU32(strh + 44, s.largestChunk);
    PutU32(strh + 48, s.video.quality);
    PutU16(strh + 60, static_cast<uint32_t>(s.width));  // the frame rectangle, from (0, 0)
    PutU16(strh + 62, static_cast<uint32_t>(s.height));

    PutU32(out + kStrf, FourCc("strf"));
    PutU32(out + kStrf + 4, formatSize);
    std::memcpy(out + kStrf + kChunkHeader, s.format, formatSize);

    // Room for the super index and the 'odml' list is kept in every file; an
    // AVI 1.0 file has JUNK there, which every reader skips.
    uint8_t* super = out + superAt;
    PutU32(super, OpenDml(s) ? FourCc("indx") : FourCc("JUNK"));
    PutU32(super + 4, kSuperIndexSize - kChunkHeader);
    if (OpenDml(s)) {
        PutU16(super + 8, 4);  // longs per entry
        super[10] = 0;         // sub type
        super[11] = 0;         // AVI_INDEX_OF_INDEXES
        PutU32(super + 12, s.parts);
        PutU32(super + 16, s.frameId);
        for (uint32_t p = 0; p < s.parts; ++p) {
            uint8_t* entry = super + kChunkHeader + kIndexHeader + p * kSuperEntry;
            PutU32(entry, static_cast<uint32_t>(s.super[p].offset));
            PutU32(entry + 4, static_cast<uint32_t>(s.super[p].offset >> 32));
            PutU32(entry + 8, s.super[p].size);
            PutU32(entry + 12, s.super[p].frames);
        }
    }
    uint8_t* odml = out + odmlAt;
    PutU32(odml, OpenDml(s) ? FourCc("LIST") : FourCc("JUNK"));
    PutU32(odml + 4, kOdmlSize - kChunkHeader);
    PutU32(odml + 8, FourCc("odml"));
    PutU32(odml + 12, FourCc("dmlh"));
    PutU32(odml + 16, kDmlhSize);
    PutU32(odml + 20, s.frames);

    PutU32(out + moviAt, FourCc("LIST"));
    PutU32(out + moviAt + 4, s.firstMoviSize);
    PutU32(out + moviAt + 8, FourCc("movi"));
}

bool WriteAt(AviFileWriter& s, uint64_t offset, uint32_t value) {
    uint8_t bytes[4];
    PutU32(bytes, value);
    return FileSeekTo(s.file, offset) == 0 && FileWriteAll(s.file, bytes, 4) && FileSeekTo(s.file, s.fileSize) == 0;
}

bool Append(AviFileWriter& s, const uint8_t* data, uint64_t size) {
    if (!FileWriteAll(s.file, data, static_cast<int64_t>(size))) return false;
    s.fileSize += size;
    return true;
}

bool StartPart(AviFileWriter& s) {
    if (s.parts == kAviMaxParts) return false;
    ++s.parts;
    s.partStart = s.fileSize;
    s.partFrames = 0;
    s.stdIndex->size = 0;
    if (s.parts == 1) {  // the header block, with its 'movi' list header at its end
        uint8_t header[kStrf + kChunkHeader + kMaxFormatSize + kSuperIndexSize + kOdmlSize + kListHeader];
        BuildHeader(s, header);
        s.moviStart = HeaderSize(s) - kListHeader;
        return Append(s, header, HeaderSize(s));
    }
    uint8_t header[kListHeader + kListHeader] = {};
    PutU32(header, FourCc("RIFF"));
    PutU32(header + 8, FourCc("AVIX"));
    PutU32(header + 12, FourCc("LIST"));
    PutU32(header + 20, FourCc("movi"));
    s.moviStart = s.fileSize + kListHeader;
    return Append(s, header, sizeof header);
}

// The part's ix00 chunk: where each of its frames lies, from the 'movi' list.
bool WriteStdIndex(AviFileWriter& s) {
    const uint32_t entries = s.partFrames;
    uint8_t header[kChunkHeader + kIndexHeader] = {};
    PutU32(header, FourCc("ix00"));
    PutU32(header + 4, kIndexHeader + entries * kStdEntry);
    PutU16(header + 8, 2);  // longs per entry
    header[10] = 0;         // sub type
    header[11] = 1;         // AVI_INDEX_OF_CHUNKS
    PutU32(header + 12, entries);
    PutU32(header + 16, s.frameId);
    PutU32(header + 20, static_cast<uint32_t>(s.moviStart));
    PutU32(header + 24, static_cast<uint32_t>(s.moviStart >> 32));
    s.super[s.parts - 1] = {s.fileSize, kChunkHeader + kIndexHeader + entries * kStdEntry, entries};
    return Append(s, header, sizeof header) &&
           Append(s, s.stdIndex->data, static_cast<uint64_t>(s.stdIndex->size));
}

// Closes the part's 'movi' list (with its ix00 in an OpenDML file), the
// first part's idx1 after it, and the part's RIFF.
bool EndPart(AviFileWriter& s, bool openDml) {
    if (openDml && !WriteStdIndex(s)) return false;
    const uint64_t moviSize = s.fileSize - (s.moviStart + kChunkHeader);
    if (s.parts == 1) {
        s.firstMoviSize = static_cast<uint32_t>(moviSize);
        s.firstPartFrames = s.partFrames;
        uint8_t header[kChunkHeader];
        PutU32(header, FourCc("idx1"));
        PutU32(header + 4, static_cast<uint32_t>(s.legacyIndex->size));
        if (!Append(s, header, sizeof header) ||
            !Append(s, s.legacyIndex->data, static_cast<uint64_t>(s.legacyIndex->size)))
            return false;
        MemBufferFree(s.legacyIndex);  // only the first part has one
        s.legacyIndex = nullptr;
    } else if (!WriteAt(s, s.moviStart + 4, static_cast<uint32_t>(moviSize))) {
        return false;
    }
    return WriteAt(s, s.partStart + 4, static_cast<uint32_t>(s.fileSize - s.partStart - kChunkHeader));
}

// The size the part would have with one more chunk of `bytes` and its indexes.
uint64_t PartSizeWith(const AviFileWriter& s, uint64_t bytes) {
    const uint64_t entries = uint64_t{s.partFrames} + 1;
    uint64_t size = s.fileSize - s.partStart + bytes + kChunkHeader + kIndexHeader + entries * kStdEntry;
    if (s.legacyIndex) size += kChunkHeader + entries * kLegacyEntry;
    return size;
}

// Moves on to a new part when the chunk would take this one past its size.
Status MakeRoom(AviFileWriter& s, uint64_t bytes) {
    if (s.partFrames == 0 || (PartSizeWith(s, bytes) <= gPartSize && s.partFrames < kMaxPartEntries))
        return kErrorNone;
    return EndPart(s, true) && StartPart(s) ? kErrorNone : kErrorWrite;
}

bool WriteChunk(AviFileWriter& s, uint32_t id, const uint8_t* data, uint32_t size) {
    uint8_t header[kChunkHeader];
    PutU32(header, id);
    PutU32(header + 4, size);
    const uint8_t pad = 0;
    return Append(s, header, sizeof header) && (size == 0 || Append(s, data, size)) &&
           ((size & 1) == 0 || Append(s, &pad, 1));
}

uint64_t ChunkBytes(uint32_t size) { return kChunkHeader + uint64_t{size} + (size & 1); }

}  // namespace

AviFileWriter* AviFileWriterCreate(FileHandle* file, const AviVideoFormat& video, Status* error) {
    if (!video.format || video.formatSize < 40 || video.formatSize > kMaxFormatSize || video.rate == 0 ||
        video.scale == 0) {
        *error = kErrorInvalidData;
        return nullptr;
    }
    AviFileWriter* s = new (std::nothrow) AviFileWriter{};
    if (!s) {
        *error = kErrorOutOfMemory;
        return nullptr;
    }
    s->file = file;
    s->video = video;
    std::memcpy(s->format, video.format, video.formatSize);
    s->video.formatSize += video.formatSize & 1;  // even, as RIFF chunks are
    s->video.format = s->format;
    if (video.formatSize > 40) std::memcpy(s->colors, s->format + 40, video.formatSize - 40);
    const uint32_t compression = uint32_t(s->format[16]) | uint32_t(s->format[17]) << 8 |
                                 uint32_t(s->format[18]) << 16 | uint32_t(s->format[19]) << 24;
    s->frameId = compression == kBiRgb ? FourCc("00db") : FourCc("00dc");
    s->width = static_cast<int32_t>(s->format[4] | s->format[5] << 8 | s->format[6] << 16 | uint32_t(s->format[7]) << 24);
    const int32_t height =
        static_cast<int32_t>(s->format[8] | s->format[9] << 8 | s->format[10] << 16 | uint32_t(s->format[11]) << 24);
    s->height = height < 0 ? -height : height;
    // Grown in large steps: the index of a long part holds megabytes.
    s->stdIndex = MemBufferCreate(kMemBufferGrowStep, kIndexGrowStep);
    s->legacyIndex = MemBufferCreate(kMemBufferGrowStep, kIndexGrowStep);
    if (!s->stdIndex || !s->legacyIndex) {
        AviFileWriterFree(s);
        *error = kErrorOutOfMemory;
        return nullptr;
    }
    if (!StartPart(*s)) {
        AviFileWriterFree(s);
        *error = kErrorWrite;
        return nullptr;
    }
    return s;
}

Status AviFileWriterFrame(AviFileWriter* s, const uint8_t* data, uint32_t size, bool keyFrame, WorkMeter* work) {
    if (s->frames == 0xFFFFFFFFu) return kErrorWrite;
    if (work && !work->spend(size + uint64_t{1})) return kErrorWrite;
    if (const Status room = MakeRoom(*s, ChunkBytes(size)); !room.ok()) return room;
    uint8_t entry[kLegacyEntry];
    if (s->legacyIndex) {
        PutU32(entry, s->frameId);
        PutU32(entry + 4, keyFrame ? kAviifKeyFrame : 0);
        // Offsets count from the 'movi' type, as Video for Windows writes them.
        PutU32(entry + 8, static_cast<uint32_t>(s->fileSize - (s->moviStart + kChunkHeader)));
        PutU32(entry + 12, size);
        ByteWriter legacy(s->legacyIndex);
        legacy.write(entry, kLegacyEntry);
        if (!legacy.ok()) return kErrorOutOfMemory;
    }
    PutU32(entry, static_cast<uint32_t>(s->fileSize + kChunkHeader - s->moviStart));
    PutU32(entry + 4, size | (keyFrame ? 0 : kStdIndexNotKey));
    ByteWriter standard(s->stdIndex);
    standard.write(entry, kStdEntry);
    if (!standard.ok()) return kErrorOutOfMemory;
    if (!WriteChunk(*s, s->frameId, data, size)) return kErrorWrite;
    ++s->frames;
    ++s->partFrames;
    if (size > s->largestChunk) s->largestChunk = size;
    return kErrorNone;
}

Status AviFileWriterColorTable(AviFileWriter* s, const uint8_t* table) {
    int first = 0, last = 255;
    while (first < 256 && std::memcmp(table + first * 4, s->colors + first * 4, 3) == 0) ++first;
    if (first == 256) return kErrorNone;
    while (std::memcmp(table + last * 4, s->colors + last * 4, 3) == 0) --last;
    const int count = last - first + 1;
    uint8_t chunk[4 + 256 * 4];
    chunk[0] = static_cast<uint8_t>(first);
    chunk[1] = static_cast<uint8_t>(count);  // 256 is written as 0
    PutU16(chunk + 2, 0);
    for (int i = 0; i < count; ++i) {  // as PALETTEENTRY: red, green, blue, flags
        const uint8_t* entry = table + (first + i) * 4;
        chunk[4 + i * 4] = entry[2];
        chunk[5 + i * 4] = entry[1];
        chunk[6 + i * 4] = entry[0];
        chunk[7 + i * 4] = 0;
    }
    const uint32_t size = 4 + static_cast<uint32_t>(count) * 4;
    if (const Status room = MakeRoom(*s, ChunkBytes(size)); !room.ok()) return room;
    // Not indexed, as ffmpeg writes them: readers meet them on their way
    // through the 'movi' list, before the frame they apply to.
    if (!WriteChunk(*s, FourCc("00pc"), chunk, size)) return kErrorWrite;
    std::memcpy(s->colors, table, 256 * 4);
    s->palChanges = true;
    return kErrorNone;
}

uint32_t AviFileWriterFrames(const AviFileWriter* s) { return s->frames; }

bool AviFileWriterFinish(AviFileWriter* s) {
    if (!EndPart(*s, OpenDml(*s))) return false;
    uint8_t header[kStrf + kChunkHeader + kMaxFormatSize + kSuperIndexSize + kOdmlSize + kListHeader];
    BuildHeader(*s, header);
    // The first part's RIFF size, which EndPart wrote, is kept.
    const uint32_t size = HeaderSize(*s);
    return FileSeekTo(s->file, 12) == 0 && FileWriteAll(s->file, header + 12, size - 12);
}

void AviFileWriterFree(AviFileWriter* s) {
    if (!s) return;
    MemBufferFree(s->stdIndex);
    MemBufferFree(s->legacyIndex);
    delete s;
}

bool AviWriterFinish(AviWriter* writer) {
    AviOutput& out = AviWriterOutput(writer);
    bool ok = AviFileWriterFinish(out.writer);
    FileHandle* file = out.file;
    out.file = nullptr;
    ok = FileClose(file) == 0 && ok;
    AviWriterFree(writer);
    return ok;
}

void AviInjectPartSize(uint64_t bytes) { gPartSize = bytes > 0 && bytes < kAviPartSize ? bytes : kAviPartSize; }
