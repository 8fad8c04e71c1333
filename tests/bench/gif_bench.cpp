// GIF speed against giflib, in one process, each side timed over the same
// data several times, interleaved (median).
//   gif_bench encode OUT.gif [RUNS]: encodes a 640 x 480, 300-frame
//     animation (moving blocks over a textured background) through our
//     animation encoder (global table, changed rectangles, transparency tried
//     both ways), and with giflib as a plain writer does (every frame whole,
//     a local colour table each); writes our file to OUT.gif.
//   gif_bench decode IN.gif [RUNS]: our loader (every frame composed onto a
//     full canvas) against giflib's DGifSlurp (image blocks only, not composed).
//   gif_bench frames IN [RUNS]: the animation encoder alone over the frames
//     of a file handed to it one at a time in one working picture, as a frame
//     source hands them: a pass that gathers the colours, a pass that encodes.
#include <gif_lib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "codecs/codecs.h"
#include "codecs/gif_animation.h"
#include "codecs/gif_writer.h"
#include "formats/format.h"
#include "formats/frame_source.h"

namespace {

constexpr int kWidth = 640, kHeight = 480, kFrames = 300;

using Bytes = std::vector<uint8_t>;

double TimeMs(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::vector<Image*> MakeFrames() {
    PaletteEntry palette[256];
    for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
    std::vector<Image*> frames;
    Image* first = ImageCreate(kWidth, kHeight, 8);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) ImageRow(first, y)[x] = uint8_t((x / 16 + y / 16) % 2 ? x ^ y : 17);
    ImageSetPalette(first, palette);
    frames.push_back(first);
    for (int f = 1; f < kFrames; ++f) {
        Image* next = ImageDuplicate(frames.back());
        for (int b = 0; b < 6; ++b) {
            const int bx = (f * (3 + b) * 5 + b * 97) % (kWidth - 48), by = (f * (2 + b) * 3 + b * 61) % (kHeight - 48);
            for (int y = by; y < by + 48; ++y)
                for (int x = bx; x < bx + 48; ++x) ImageRow(next, y)[x] = uint8_t(f + b * 40 + (x - bx) / 8);
        }
        frames.push_back(next);
    }
    return frames;
}

Bytes EncodeOurs(const std::vector<Image*>& frames) {
    MemBuffer* buffer = MemBufferCreate(1 << 20, 1 << 20);
    Status error = kErrorNone;
    GifColorCollector* colors = GifColorCollectorCreate();  // the encoder plans its table from all frames
    for (const Image* frame : frames) GifColorCollectorAdd(colors, frame);
    GifAnimation* animation = GifAnimationStartWith(frames[0], colors, false, buffer, &error);
    GifColorCollectorDestroy(colors);
    bool ok = animation != nullptr;
    for (size_t i = 0; ok && i < frames.size(); ++i) ok = GifAnimationAdd(animation, frames[i], 40, buffer, &error);
    ok = ok && GifAnimationFinish(animation, buffer, &error);
    GifAnimationDestroy(animation);
    if (!ok) {
        std::fprintf(stderr, "encode failed: %s\n", ErrorMessage(error.error));
        std::exit(1);
    }
    Bytes out(buffer->data, buffer->data + buffer->size);
    MemBufferFree(buffer);
    return out;
}

int WriteToBytes(GifFileType* gif, const GifByteType* data, int length) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

Bytes EncodeGiflib(const std::vector<Image*>& frames) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, kWidth, kHeight, 8, 0, nullptr);
    GifColorType colors[256];
    for (Image* frame : frames) {
        PaletteEntry entries[256];
        ImageGetPalette(frame, entries);
        for (int i = 0; i < 256; ++i) colors[i] = {entries[i].red, entries[i].green, entries[i].blue};
        ColorMapObject* map = GifMakeMapObject(256, colors);
        const GifByteType control[4] = {0, 4, 0, 0};
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
        EGifPutImageDesc(gif, 0, 0, kWidth, kHeight, false, map);
        for (int y = 0; y < kHeight; ++y) EGifPutLine(gif, ImageRow(frame, y), kWidth);
        GifFreeMapObject(map);
    }
    EGifCloseFile(gif, &error);
    return out;
}

struct Reader {
    const Bytes* bytes;
    size_t position;
};

int ReadFromBytes(GifFileType* gif, GifByteType* out, int length) {
    auto* reader = static_cast<Reader*>(gif->UserData);
    const size_t n = std::min(static_cast<size_t>(length), reader->bytes->size() - reader->position);
    std::memcpy(out, reader->bytes->data() + reader->position, n);
    reader->position += n;
    return static_cast<int>(n);
}

int DecodeGiflib(const Bytes& file) {
    Reader reader{&file, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadFromBytes, &error);
    if (!gif || DGifSlurp(gif) != GIF_OK) {
        std::fprintf(stderr, "giflib cannot decode the file\n");
        std::exit(1);
    }
    const int images = gif->ImageCount;
    DGifCloseFile(gif, &error);
    return images;
}

// Every frame of the file, composed, in order.
int DecodeOurs(Bytes file) {
    LoadRequest request{};
    request.data = file.data();
    request.size = static_cast<uint32_t>(file.size());
    FrameSource* source = FrameSourceOpen(&request);
    if (!source || !FrameSourceFrame(source, 0)) {
        std::fprintf(stderr, "movrel cannot load the file: %s\n", ErrorMessage(request.error.error));
        std::exit(1);
    }
    FrameSourceInOrder(source);
    int frames = 1;
    while (FrameSourceFrame(source, frames)) ++frames;
    FrameSourceClose(source);
    return frames;
}

// Copies of every frame of a file.
std::vector<ImagePtr> LoadFrames(const char* fileName, Status* error) {
    LoadRequest request{};
    FrameSource* source = FrameSourceOpenFile(fileName, &request);
    *error = request.error;
    std::vector<ImagePtr> frames;
    if (!source) return frames;
    FrameSourceInOrder(source);
    for (int32_t n = 0; const Image* frame = FrameSourceFrame(source, n); ++n) frames.emplace_back(ImageDuplicate(frame));
    FrameSourceClose(source);
    return frames;
}

// The two passes of the encoder over the frames, each copied into one
// working picture first (outside the time taken); the times of the passes.
std::pair<double, double> EncodePasses(const std::vector<ImagePtr>& frames, Bytes* file) {
    Image* work = ImageDuplicate(frames[0].get());
    auto copyIn = [work](const Image* frame) {
        if (ImageBitsSize(frame) != ImageBitsSize(work) || ImageBitCount(frame) != ImageBitCount(work)) {
            std::fprintf(stderr, "the frames differ in size or depth\n");
            std::exit(1);
        }
        std::memcpy(work->bits, frame->bits, static_cast<size_t>(ImageBitsSize(frame)));
        if (ImageBitCount(frame) <= 8) {
            PaletteEntry palette[256];
            ImageGetPalette(frame, palette);
            ImageSetPalette(work, palette);
        }
    };
    double gather = 0, encode = 0;
    GifColorCollector* colors = GifColorCollectorCreate();
    for (const ImagePtr& f : frames) {
        copyIn(f.get());
        gather += TimeMs([&] { GifColorCollectorAdd(colors, work); });
    }
    MemBuffer* buffer = MemBufferCreate(1 << 20, 1 << 20);
    Status error = kErrorNone;
    GifAnimation* animation = nullptr;
    copyIn(frames[0].get());
    encode += TimeMs([&] { animation = GifAnimationStartWith(work, colors, false, buffer, &error); });
    bool ok = animation != nullptr;
    for (size_t i = 0; ok && i < frames.size(); ++i) {
        copyIn(frames[i].get());
        encode += TimeMs([&] { ok = GifAnimationAdd(animation, work, ImageGetDelay(frames[i].get()), buffer, &error); });
    }
    encode += TimeMs([&] { ok = ok && GifAnimationFinish(animation, buffer, &error); });
    GifAnimationDestroy(animation);
    GifColorCollectorDestroy(colors);
    ImageDestroy(work);
    if (!ok) {
        std::fprintf(stderr, "encode failed: %s\n", ErrorMessage(error.error));
        std::exit(1);
    }
    file->assign(buffer->data, buffer->data + buffer->size);
    MemBufferFree(buffer);
    return {gather, encode};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gif_bench encode OUT.gif [RUNS] | gif_bench decode IN.gif [RUNS] | "
                             "gif_bench frames IN [RUNS]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    FormatRegisterAll();
    if (mode == "encode") {
        std::vector<Image*> frames = MakeFrames();
        Bytes ours, theirs;
        std::vector<double> a, b;
        for (int i = 0; i < runs; ++i) {  // interleaved, so both see the same machine load
            a.push_back(TimeMs([&] { ours = EncodeOurs(frames); }));
            b.push_back(TimeMs([&] { theirs = EncodeGiflib(frames); }));
        }
        const double oursMs = Median(a), theirsMs = Median(b);
        std::printf("encode %dx%d x %d frames: movrel %.0f ms (%zu bytes), giflib %.0f ms (%zu bytes), "
                    "ratio movrel/giflib %.2f\n",
                    kWidth, kHeight, kFrames, oursMs, ours.size(), theirsMs, theirs.size(), oursMs / theirsMs);
        std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(ours.data()),
                                                       static_cast<std::streamsize>(ours.size()));
        for (Image* frame : frames) ImageDestroy(frame);
        return 0;
    }
    if (mode == "decode") {
        std::ifstream in(argv[2], std::ios::binary);
        const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int ourFrames = 0, theirImages = 0;
        std::vector<double> a, b;
        for (int i = 0; i < runs; ++i) {
            a.push_back(TimeMs([&] { ourFrames = DecodeOurs(file); }));
            b.push_back(TimeMs([&] { theirImages = DecodeGiflib(file); }));
        }
        const double oursMs = Median(a), theirsMs = Median(b);
        std::printf("decode %s: movrel %.0f ms (%d composed frames), giflib %.0f ms (%d images, not composed), "
                    "ratio movrel/giflib %.2f\n",
                    argv[2], oursMs, ourFrames, theirsMs, theirImages, oursMs / theirsMs);
        return 0;
    }
    if (mode == "frames") {
        Status error = kErrorNone;
        const std::vector<ImagePtr> frames = LoadFrames(argv[2], &error);
        if (frames.empty()) {
            std::fprintf(stderr, "movrel cannot load %s: %s\n", argv[2], ErrorMessage(error.error));
            return 1;
        }
        Bytes file;
        std::vector<double> gather, encode;
        for (int i = 0; i < runs; ++i) {
            const auto [g, e] = EncodePasses(frames, &file);
            gather.push_back(g), encode.push_back(e);
        }
        std::printf("GIF encoder alone over %d frames of %s, one at a time: gathering colours %.1f ms, "
                    "encoding %.1f ms (%zu bytes)\n",
                    static_cast<int>(frames.size()), argv[2], Median(gather), Median(encode), file.size());
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
