// Writes a large FLC for the load benchmark: 640 x 480, 300 frames, a
// byte-run first frame and word deltas after it (moving blocks over a
// textured background, a few thousand changed pixels a frame).
#include <cstdio>
#include <fstream>

#include "tests/support/flic_writer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_big_flic OUT.flc\n");
        return 2;
    }
    constexpr int kWidth = 640, kHeight = 480, kFrames = 300;
    FlicWriter writer(0xAF12, kWidth, kHeight, 40);
    std::vector<Rgb> colors(256);
    for (int i = 0; i < 256; ++i) colors[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)};
    Picture previous(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) previous.at(x, y) = static_cast<uint8_t>((x / 16 + y / 16) % 2 ? x ^ y : 17);
    writer.frame().color256({{0, colors}}).byteRun(previous);
    for (int f = 1; f < kFrames; ++f) {
        Picture next = previous;
        for (int b = 0; b < 6; ++b) {
            const int bx = (f * (3 + b) * 5 + b * 97) % (kWidth - 48), by = (f * (2 + b) * 3 + b * 61) % (kHeight - 48);
            for (int y = by; y < by + 48; ++y)
                for (int x = bx; x < bx + 48; ++x) next.at(x, y) = static_cast<uint8_t>(f + b * 40 + (x - bx) / 8);
        }
        writer.frame().deltaFlc(previous, next);
        previous = next;
    }
    const Bytes file = writer.finish();
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return out ? 0 : 1;
}
