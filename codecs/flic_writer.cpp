#include "codecs/flic_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>

#include "codecs/codec_util.h"
#include "codecs/flic.h"
#include "image/quantize.h"

namespace {

constexpr uint32_t kMostFrames = 0xFFFF;  // the header counts frames in 16 bits
constexpr int kFrameHeaderSize = 16;
constexpr int kSubchunkHeaderSize = 6;

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v);
    Put16(out, v >> 16);
}

void Set16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void ByteRunLine(const uint8_t* row, int width, std::vector<uint8_t>& out) {
    const size_t countAt = out.size();
    out.push_back(0);
    int packets = 0;
    for (int x = 0; x < width; ++packets) {
        int run = 1;
        while (x + run < width && run < 127 && row[x + run] == row[x]) ++run;
        if (run >= 2) {
            out.push_back(static_cast<uint8_t>(run));
            out.push_back(row[x]);
            x += run;
            continue;
        }
        // Literal bytes until a run of three begins.
        const int start = x;
        int n = 0;
        while (x < width && n < 128 && !(x + 2 < width && row[x] == row[x + 1] && row[x] == row[x + 2])) ++x, ++n;
        out.push_back(static_cast<uint8_t>(-n));
        out.insert(out.end(), row + start, row + start + n);
    }
    // Wide rows count more packets than the byte holds; readers run each row until it is full.
    out[countAt] = static_cast<uint8_t>(packets < 256 ? packets : 0);
}

// The packets of one changed row's word pairs (the last byte of an odd row
// goes apart); the count of packets.
int DeltaLine(const uint8_t* before, const uint8_t* now, int width, std::vector<uint8_t>& out) {
    const int words = width / 2;
    auto word = [](const uint8_t* p, int i) { return uint32_t{p[2 * i]} | uint32_t{p[2 * i + 1]} << 8; };
    auto unchanged = [&](int i) { return word(before, i) == word(now, i); };
    int packets = 0, at = 0;  // `at`: the byte the next packet's skip counts from
    for (int i = 0; i < words;) {
        if (unchanged(i)) {
            ++i;
            continue;
        }
        for (int skip = 2 * i - at; skip > 254; skip -= 254, at += 254, ++packets) {
            out.push_back(254);  // a packet of no words: only its skip
            out.push_back(0);
        }
        out.push_back(static_cast<uint8_t>(2 * i - at));
        ++packets;
        int run = 1;
        while (i + run < words && run < 128 && word(now, i + run) == word(now, i)) ++run;
        if (run >= 2) {
            out.push_back(static_cast<uint8_t>(-run));
            out.push_back(now[2 * i]);
            out.push_back(now[2 * i + 1]);
            i += run;
        } else {
            // Literal words until two unchanged ones or a run of two.
            const int start = i;
            while (i < words && i - start < 127) {
                if (i + 1 < words && unchanged(i) && unchanged(i + 1)) break;
                if (i > start && i + 1 < words && word(now, i) == word(now, i + 1)) break;
                ++i;
            }
            out.push_back(static_cast<uint8_t>(i - start));
            out.insert(out.end(), now + 2 * start, now + 2 * i);
        }
        at = 2 * i;
    }
    return packets;
}

}  // namespace

std::vector<uint8_t> FlicEncodeByteRun(const uint8_t* pixels, int width, int height) {
    std::vector<uint8_t> out;
    for (int y = 0; y < height; ++y) ByteRunLine(pixels + size_t(y) * size_t(width), width, out);
    return out;
}

std::vector<uint8_t> FlicEncodeDeltaFlc(const uint8_t* previous, const uint8_t* current, int width, int height) {
    std::vector<uint8_t> out;
    Put16(out, 0);
    uint32_t lines = 0, skipped = 0;
    const size_t stride = size_t(width);
    for (int y = 0; y < height; ++y) {
        const uint8_t* before = previous + stride * size_t(y);
        const uint8_t* now = current + stride * size_t(y);
        if (std::memcmp(before, now, stride) == 0) {
            ++skipped;
            continue;
        }
        for (; skipped > 0; skipped -= std::min<uint32_t>(skipped, 0x3FFF))
            Put16(out, 0x10000u - std::min<uint32_t>(skipped, 0x3FFF));  // top bits 11: lines to skip
        if ((width & 1) && before[width - 1] != now[width - 1]) Put16(out, 0x8000u | now[width - 1]);
        const size_t countAt = out.size();
        Put16(out, 0);
        Set16(out, countAt, static_cast<uint32_t>(DeltaLine(before, now, width, out)));
        ++lines;
    }
    if (lines == 0) return {};
    Set16(out, 0, lines);
    return out;
}

std::vector<uint8_t> FlicEncodeColor256(const uint8_t* previous, const uint8_t* current) {
    std::vector<uint8_t> out;
    Put16(out, 0);
    uint32_t packets = 0;
    auto same = [&](int i) { return previous && std::memcmp(previous + 3 * i, current + 3 * i, 3) == 0; };
    for (int i = 0, at = 0; i < 256;) {
        if (same(i)) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 256 && !same(j)) ++j;
        out.push_back(static_cast<uint8_t>(i - at));
        out.push_back(static_cast<uint8_t>(j - i));  // 256 entries as 0
        out.insert(out.end(), current + 3 * i, current + 3 * j);
        ++packets;
        at = i = j;
    }
    if (packets == 0) return {};
    Set16(out, 0, packets);
    return out;
}

void FlicPlanDelay(FlicStreamOptions& options, uint32_t delay) {
    options.divisor = std::gcd(options.divisor, delay);
    options.milliseconds += delay;
    ++options.frames;
}

uint32_t FlicPlanSpeed(const FlicStreamOptions& options) {
    uint32_t speed = std::max<uint32_t>(options.divisor, 1);
    // Each frame shows for delay / speed frames, at least one.
    if (options.frames < kMostFrames && options.milliseconds / speed + options.frames > kMostFrames) {
        const uint64_t coarser = options.milliseconds / (kMostFrames - options.frames) + 1;
        speed = static_cast<uint32_t>(std::min<uint64_t>(coarser, UINT32_MAX));
    }
    return speed;
}

namespace {

// A frame as FLIC holds it: indices, top-down, and 256 RGB triples.
struct Frame {
    std::vector<uint8_t> pixels;
    uint8_t palette[768] = {};
};

struct FlicWriterState {
    FileHandle* file = nullptr;
    char tempName[kMaxPath] = {};
    bool failed = false;
    int width = 0, height = 0;
    uint32_t speed = 1;
    bool haveFirst = false;
    Frame first, previous, current;
    uint32_t frames = 0;           // frame chunks written, the ring frame not counted
    uint64_t size = kFlicHeaderSize;  // bytes in the file
    uint32_t secondFrame = 0;      // offset of frame 2
    std::vector<uint8_t> chunk;
};

// The frame's indices and palette into `out`; false when memory runs out.
bool TakeFrame(const Image* image, Frame& out) {
    ImagePtr reduced;
    if (ImageBitCount(image) > 8) {
        int count = 0;
        reduced.reset(ImageReduceColors(image, false, &count));
        if (!reduced) return false;
        image = reduced.get();
    }
    const int width = ImageWidth(image), height = ImageHeight(image);
    out.pixels.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        uint8_t* to = out.pixels.data() + size_t(y) * size_t(width);
        if (ImageBitCount(image) == 8) std::memcpy(to, ImageRow(image, y), size_t(width));
        else
            for (int x = 0; x < width; ++x) to[x] = static_cast<uint8_t>(ImageGetPixel(image, x, y));
    }
    PaletteEntry entries[256] = {};
    ImageColors(image, entries);
    const int count = 1 << ImageBitCount(image);
    std::memset(out.palette, 0, sizeof out.palette);
    PalettePack(entries, out.palette, count, 0);
    return true;
}

void AddSubchunk(std::vector<uint8_t>& chunk, uint16_t type, const uint8_t* data, size_t size) {
    const size_t padded = size + (size & 1);  // chunks keep even sizes, as Animator writes them
    Put32(chunk, static_cast<uint32_t>(kSubchunkHeaderSize + padded));
    Put16(chunk, type);
    chunk.insert(chunk.end(), data, data + size);
    if (size & 1) chunk.push_back(0);
}

// The frame chunk that turns `before` (none for the first frame) into `now`.
void BuildFrame(const Frame* before, const Frame& now, int width, int height, std::vector<uint8_t>& chunk) {
    chunk.assign(kFrameHeaderSize, 0);
    int subchunks = 0;
    const std::vector<uint8_t> colors = FlicEncodeColor256(before ? before->palette : nullptr, now.palette);
    if (!colors.empty()) AddSubchunk(chunk, kFlicColor256, colors.data(), colors.size()), ++subchunks;
    const std::vector<uint8_t> delta =
        before ? FlicEncodeDeltaFlc(before->pixels.data(), now.pixels.data(), width, height) : std::vector<uint8_t>();
    // BYTE_RUN takes at least a count byte and a run packet per 127 pixels
    // of each row: a delta no larger needs no comparing.
    const size_t leastRun = size_t(height) * (1 + 2 * ((size_t(width) + 126) / 127));
    if (before && !delta.empty() && delta.size() <= leastRun) {
        AddSubchunk(chunk, kFlicDeltaFlc, delta.data(), delta.size());
        ++subchunks;
    } else if (!before || !delta.empty()) {
        const std::vector<uint8_t> run = FlicEncodeByteRun(now.pixels.data(), width, height);
        const size_t raw = now.pixels.size();
        if (before && delta.size() <= run.size()) AddSubchunk(chunk, kFlicDeltaFlc, delta.data(), delta.size());
        else if (!before && raw < run.size()) AddSubchunk(chunk, kFlicCopy, now.pixels.data(), raw);
        else AddSubchunk(chunk, kFlicByteRun, run.data(), run.size());
        ++subchunks;
    }
    std::vector<uint8_t> head;
    Put32(head, static_cast<uint32_t>(chunk.size()));
    Put16(head, kFlicFrameChunk);
    Put16(head, static_cast<uint32_t>(subchunks));
    std::copy(head.begin(), head.end(), chunk.begin());
}

bool WriteChunk(FlicWriterState& s, const std::vector<uint8_t>& chunk, bool counted) {
    if (s.size + chunk.size() > UINT32_MAX || !FileWriteAll(s.file, chunk.data(), static_cast<int64_t>(chunk.size())))
        return false;
    if (counted && ++s.frames == 2) s.secondFrame = static_cast<uint32_t>(s.size);
    s.size += chunk.size();
    return true;
}

void Discard(FlicWriterState& s) {
    if (s.file) FileClose(s.file);
    s.file = nullptr;
    if (s.tempName[0]) TempFileDiscard(s.tempName);
    s.tempName[0] = '\0';
    s.failed = true;
}

void Release(Stream* stream) {
    auto* s = static_cast<FlicWriterState*>(stream->state);
    if (!s) return;
    Discard(*s);
    delete s;
    stream->state = nullptr;
}

int FlicOpenStream(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1 || !request->image) return Fail(request, kErrorUnsupportedType);
    auto* s = new (std::nothrow) FlicWriterState;
    if (!s) return Fail(request, kErrorOutOfMemory);
    stream->state = s;
    s->width = ImageWidth(request->image);
    s->height = ImageHeight(request->image);
    const auto* options = static_cast<const FlicStreamOptions*>(request->options);
    s->speed = options ? FlicPlanSpeed(*options) : std::max<uint32_t>(ImageGetDelay(request->image), 1);
    s->file = FileCreateTempBeside(stream->fileName, s->tempName);
    const std::vector<uint8_t> header(kFlicHeaderSize, 0);  // filled in at the close
    if (!s->file || !FileWriteAll(s->file, header.data(), kFlicHeaderSize)) {
        Release(stream);
        return Fail(request, kErrorWrite);
    }
    return 1;
}

int FlicWriteFrameStream(Stream* stream, StreamFrameRequest* request) {
    auto* s = static_cast<FlicWriterState*>(stream->state);
    if (!s || s->failed) return Fail(request, kErrorWrite);
    if (ImageWidth(request->image) != s->width || ImageHeight(request->image) != s->height)
        return Fail(request, kErrorInvalidData);
    // A frame's encoding is bounded by its pixels: asked before each, a stop ends the stream within one.
    if (stream->work && !stream->work->spend(uint64_t(s->width) * uint64_t(s->height)))
        return Fail(request, Status::Cancelled());
    if (!TakeFrame(request->image, s->current)) return Fail(request, kErrorOutOfMemory);
    BuildFrame(s->haveFirst ? &s->previous : nullptr, s->current, s->width, s->height, s->chunk);
    // Shown for delay / speed frames: the rest are empty frames.
    const uint64_t repeats = std::max<uint64_t>(1, (uint64_t{request->delay} + s->speed / 2) / s->speed);
    if (s->frames + repeats > kMostFrames)
        return Fail(request, {kErrorUnsupportedType, "more frames than a FLIC holds"});
    bool ok = WriteChunk(*s, s->chunk, true);
    std::vector<uint8_t> empty;
    if (repeats > 1) {
        Put32(empty, kFrameHeaderSize);
        Put16(empty, kFlicFrameChunk);
        empty.resize(kFrameHeaderSize, 0);
    }
    for (uint64_t r = 1; r < repeats && ok; ++r) ok = WriteChunk(*s, empty, true);
    if (!ok) {
        Discard(*s);
        return Fail(request, kErrorWrite);
    }
    if (!s->haveFirst) s->first = s->current, s->haveFirst = true;
    std::swap(s->previous, s->current);
    return 1;
}

void FillHeader(const FlicWriterState& s, uint8_t* h) {
    std::memset(h, 0, kFlicHeaderSize);
    PutU32(h, static_cast<uint32_t>(s.size));
    PutU16(h + 4, kFlcMagic);
    PutU16(h + 6, s.frames);
    PutU16(h + 8, static_cast<uint32_t>(s.width));
    PutU16(h + 10, static_cast<uint32_t>(s.height));
    PutU16(h + 12, 8);  // depth
    PutU16(h + 14, 3);  // flags: written whole, the ring frame there
    PutU32(h + 16, s.speed);
    PutU16(h + 38, 1);  // aspect 1:1
    PutU16(h + 40, 1);
    PutU32(h + 80, kFlicHeaderSize);
    PutU32(h + 84, s.secondFrame);
}

int FlicCloseStream(Stream* stream, StreamCloseRequest* request) {
    auto* s = static_cast<FlicWriterState*>(stream->state);
    if (!s) return 1;
    if (stream->abandoned) {
        Release(stream);
        return 1;
    }
    Status error = s->failed ? kErrorWrite : s->haveFirst ? kErrorNone : kErrorInvalidData;
    if (error.ok() && s->frames > 1) {
        // The ring frame: from the last frame back to the first. A single
        // frame has no way back to make (Animator's own files of one frame
        // end without it).
        BuildFrame(&s->previous, s->first, s->width, s->height, s->chunk);
    }
    if (error.ok()) {
        const bool written = s->frames < 2 || WriteChunk(*s, s->chunk, false);
        uint8_t header[kFlicHeaderSize];
        FillHeader(*s, header);
        bool ok = written && FileSeek(s->file, 0, kSeekBegin) == 0 && FileWriteAll(s->file, header, kFlicHeaderSize);
        FileHandle* file = s->file;
        s->file = nullptr;
        ok = FileClose(file) == 0 && ok;
        ok = ok && TempFilePutInPlace(s->tempName, stream->fileName, stream->work);
        if (ok) s->tempName[0] = '\0';  // it is the real file now
        else error = kErrorWrite;
    }
    Release(stream);
    return error.ok() ? 1 : Fail(request, error);
}

}  // namespace

const StreamOps kFlicStreamOps = {FlicOpenStream, nullptr, FlicWriteFrameStream, FlicCloseStream};
