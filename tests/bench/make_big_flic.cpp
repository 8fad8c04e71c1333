// Writes a large FLC for the benchmarks: a byte-run first frame and word
// deltas after it. By default 640 x 480, 300 frames of 40 ms: six 48-pixel
// blocks jump over a textured background and stay painted (a few thousand
// changed pixels a frame). With --small, a cluster of three 4-pixel blocks
// glides over a banded background (about a hundred bytes of delta a frame),
// for long files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/flic_writer.h"

namespace {

struct Options {
    int width = 640, height = 480, frames = 300, delay = 40;
    bool small = false;
};

bool Number(const char* text, int low, int high, int* out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return false;
    *out = static_cast<int>(value);
    return true;
}

bool Parse(int argc, char** argv, Options* o, const char** path) {
    *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        bool ok = true;
        if (arg == "--frames") ok = Number(value, 1, 65535, &o->frames), ++i;
        else if (arg == "--delay") ok = Number(value, 0, 100000, &o->delay), ++i;
        else if (arg == "--small") o->small = true;
        else if (arg == "--size") {
            const char* x = std::strchr(value, 'x');
            const std::string w(value, x ? static_cast<size_t>(x - value) : 0);
            ok = x && Number(w.c_str(), 1, 4096, &o->width) && Number(x + 1, 1, 4096, &o->height);
            ++i;
        } else if (!*path && arg[0] != '-') *path = argv[i];
        else ok = false;
        if (!ok) return false;
    }
    return *path && o->width > 64 && o->height > 64;
}

Picture Textured(int width, int height) {
    Picture p(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) p.at(x, y) = static_cast<uint8_t>((x / 16 + y / 16) % 2 ? x ^ y : 17);
    return p;
}

Picture Banded(int width, int height) {
    Picture p(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) p.at(x, y) = static_cast<uint8_t>(200 + (y / 24) % 8 + (x / 160) % 2);
    return p;
}

// Six 48-pixel blocks painted at far apart places, over what was there.
void Jump(Picture& p, int f) {
    constexpr int s = 48;
    for (int b = 0; b < 6; ++b) {
        const int bx = (f * (3 + b) * 5 + b * 97) % (p.width - s), by = (f * (2 + b) * 3 + b * 61) % (p.height - s);
        for (int y = by; y < by + s; ++y)
            for (int x = bx; x < bx + s; ++x) p.at(x, y) = static_cast<uint8_t>(f + b * 40 + (x - bx) / 8);
    }
}

// Back and forth between 0 and `span`, a step a frame.
int Bounce(int f, int span) { return span - std::abs(f % (2 * span) - span); }

// Three 4-pixel blocks of a cluster that moves about two pixels a frame.
void Glide(Picture& p, int f) {
    constexpr int s = 4, offsets[3][2] = {{0, 0}, {4, 2}, {8, 0}};
    const int cx = Bounce(2 * f, p.width - 16), cy = Bounce(f, p.height - 16);
    for (int b = 0; b < 3; ++b)
        for (int y = 0; y < s; ++y)
            for (int x = 0; x < s; ++x) p.at(cx + offsets[b][0] + x, cy + offsets[b][1] + y) = static_cast<uint8_t>(b * 40 + f % 8);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const char* path = nullptr;
    if (!Parse(argc, argv, &o, &path)) {
        std::fprintf(stderr,
                     "usage: make_big_flic OUT.flc [--frames N] [--size WxH] [--delay MS] [--small]\n");
        return 2;
    }
    FlicWriter writer(0xAF12, o.width, o.height, static_cast<uint32_t>(o.delay));
    std::vector<Rgb> colors(256);
    for (int i = 0; i < 256; ++i) colors[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)};
    const Picture background = o.small ? Banded(o.width, o.height) : Textured(o.width, o.height);
    Picture previous = background;
    writer.frame().color256({{0, colors}}).byteRun(previous);
    for (int f = 1; f < o.frames; ++f) {
        Picture next = o.small ? background : previous;
        if (o.small) Glide(next, f);
        else Jump(next, f);
        writer.frame().deltaFlc(previous, next);
        previous = std::move(next);
    }
    const Bytes file = writer.finish();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return out ? 0 : 1;
}
