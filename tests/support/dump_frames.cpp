// Reads a file's frames through a frame source and writes every frame to stdout as
// packed top-down RGB24, each after a text line "frame WIDTH HEIGHT DELAY_MS
// DEPTH", for peer tests that compare pixels. Exit 1 with the error text
// when the file does not load.
#include <cstdio>
#include <vector>

#include "codecs/codecs.h"
#include "formats/format.h"
#include "formats/frame_source.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dump_frames FILE\n");
        return 2;
    }
    FormatRegisterAll();
    LoadRequest request{};
    FrameSource* source = FrameSourceOpenFile(argv[1], &request);
    const Image* first = source ? FrameSourceFrame(source, 0) : nullptr;
    if (!first) {
        const Status ended = source ? FrameSourceEndedEarly(source) : request.error;
        std::fprintf(stderr, "%s\n", ErrorMessage(source && ended.ok() ? kErrorInvalidData : ended.error));
        FrameSourceClose(source);
        return 1;
    }
    FrameSourceInOrder(source);
    for (int32_t n = 0; const Image* frame = FrameSourceFrame(source, n); ++n) {
        const int width = ImageWidth(frame), height = ImageHeight(frame), depth = ImageBitCount(frame);
        std::printf("frame %d %d %u %d\n", width, height, ImageGetDelay(frame), depth);
        std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint32_t v = ImageGetPixel(frame, x, y);
                uint8_t* p = &row[static_cast<size_t>(x) * 3];
                if (depth <= 8) {
                    const RgbQuad* q = ImageColorTable(frame, static_cast<int>(v));
                    p[0] = q->rgbRed, p[1] = q->rgbGreen, p[2] = q->rgbBlue;
                } else {
                    p[0] = static_cast<uint8_t>(v >> 16), p[1] = static_cast<uint8_t>(v >> 8), p[2] = static_cast<uint8_t>(v);
                }
            }
            std::fwrite(row.data(), 1, row.size(), stdout);
        }
    }
    FrameSourceClose(source);
    return 0;
}
