// Writes the bundled sample animation: a ball bouncing over a striped floor,
// 320 x 200, 24 frames at 80 ms. Uses a prefix chunk, two-packet and partial
// colour chunks, a byte-run first frame, word deltas, a hold frame and the
// ring frame, so that the sample exercises most of the decoder.
#include <cmath>
#include <cstdio>
#include <fstream>

#include "tests/support/flic_writer.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 200;
constexpr int kFrames = 24;
constexpr int kFloor = 150;

std::vector<Rgb> SkyAndFloor(int phase) {
    std::vector<Rgb> colors;
    for (int i = 0; i < 64; ++i)  // sky, dark blue to light blue
        colors.push_back({static_cast<uint8_t>(20 + i * 2), static_cast<uint8_t>(40 + i * 2), static_cast<uint8_t>(120 + i * 2)});
    for (int i = 0; i < 8; ++i) {  // floor stripes, cycled by the partial colour chunks
        const bool light = ((i + phase) % 8) < 4;
        colors.push_back(light ? Rgb{200, 170, 90} : Rgb{120, 90, 40});
    }
    return colors;
}

std::vector<Rgb> Ball() {
    std::vector<Rgb> colors;
    for (int i = 0; i < 32; ++i)  // red shades, dark rim to bright centre
        colors.push_back({static_cast<uint8_t>(100 + i * 4), static_cast<uint8_t>(i * 5), static_cast<uint8_t>(i * 3)});
    return colors;
}

Picture Draw(int frame) {
    Picture p(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            p.at(x, y) = y < kFloor ? static_cast<uint8_t>(y * 64 / kFloor) : static_cast<uint8_t>(64 + ((x + 2 * y) / 12) % 8);
    // The ball bounces once over the 24 frames and moves left to right.
    const double t = static_cast<double>(frame) / kFrames;
    const int cx = 30 + static_cast<int>(260 * t);
    const int cy = kFloor - 22 - static_cast<int>(110 * std::sin(3.14159265358979 * t));
    const int r = 22;
    for (int y = cy - r; y <= cy + r; ++y)
        for (int x = cx - r; x <= cx + r; ++x) {
            const int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 > r * r || x < 0 || y < 0 || x >= kWidth || y >= kHeight) continue;
            const int shade = 31 - static_cast<int>(31 * std::sqrt(static_cast<double>((x - cx + 8) * (x - cx + 8) + (y - cy + 8) * (y - cy + 8))) / (r + 12));
            p.at(x, y) = static_cast<uint8_t>(128 + (shade < 0 ? 0 : shade));
        }
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample OUT.flc\n");
        return 2;
    }
    FlicWriter writer(0xAF12, kWidth, kHeight, 80);
    writer.prefixChunk();
    std::vector<Picture> pictures;
    for (int i = 0; i < kFrames; ++i) pictures.push_back(i == 9 ? pictures.back() : Draw(i < 9 ? i : i - 1));

    writer.frame().color256({{0, SkyAndFloor(0)}, {56, Ball()}}).byteRun(pictures[0]);
    for (int i = 1; i < kFrames; ++i) {
        writer.frame();
        if (i % 3 == 0) {
            const std::vector<Rgb> all = SkyAndFloor(i / 3);
            writer.color256({{64, std::vector<Rgb>(all.begin() + 64, all.end())}});
        }
        if (i != 9) writer.deltaFlc(pictures[i - 1], pictures[i]);  // frame 9 holds the picture
    }
    writer.frame().deltaFlc(pictures.back(), pictures.front());  // ring frame
    writer.frameCountField(kFrames);
    const Bytes file = writer.finish();
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return out ? 0 : 1;
}
