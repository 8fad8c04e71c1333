// movrel: the image library on the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/format.h"
#include "tools/md5.h"

namespace {

struct Command {
    const char* name;
    const char* usage;
    const char* summary;
    int (*run)(const std::vector<std::string>& args);
};

int Usage(const Command& command, FILE* out) {
    std::fprintf(out, "usage: movrel %s\n\n%s\n", command.usage, command.summary);
    return out == stdout ? 0 : 2;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// Loads a file or prints why it could not be loaded.
Image* LoadOrComplain(const std::string& path) {
    LoadRequest request{};
    Image* image = ImageLoadFile(path.c_str(), &request);
    if (!image) {
        ErrorCode code = request.error == kErrorNone ? kErrorUnknown : request.error;
        std::fprintf(stderr, "movrel: %s: %s\n", ErrorMessage(code), path.c_str());
    }
    return image;
}

// One picture row as top-down RGB triples.
void RowToRgb(const Image* image, int y, uint8_t* out) {
    const int width = ImageWidth(image);
    const int depth = ImageBitCount(image);
    for (int x = 0; x < width; ++x) {
        const uint32_t v = ImageGetPixel(image, x, y);
        uint8_t r, g, b;
        if (depth <= 8) {
            const RgbQuad* q = ImageColorTable(image, static_cast<int>(v));
            r = q->rgbRed, g = q->rgbGreen, b = q->rgbBlue;
        } else if (depth == 16) {  // 5-5-5
            r = static_cast<uint8_t>(((v >> 10) & 31) * 255 / 31);
            g = static_cast<uint8_t>(((v >> 5) & 31) * 255 / 31);
            b = static_cast<uint8_t>((v & 31) * 255 / 31);
        } else {
            r = static_cast<uint8_t>(v >> 16), g = static_cast<uint8_t>(v >> 8), b = static_cast<uint8_t>(v);
        }
        out[x * 3] = r, out[x * 3 + 1] = g, out[x * 3 + 2] = b;
    }
}

std::string RgbMd5(const Image* image) {
    Md5 md5;
    std::vector<uint8_t> row(static_cast<size_t>(ImageWidth(image)) * 3);
    for (int y = 0; y < ImageHeight(image); ++y) {
        RowToRgb(image, y, row.data());
        md5.update(row.data(), row.size());
    }
    return md5.hexDigest();
}

// Palette indices (top-down, width bytes a row) and the 256-entry palette as
// RGB triples, plain and reduced to 6 bits.
std::string Pal8Md5s(const Image* image) {
    Md5 indices, palette, palette6;
    for (int y = 0; y < ImageHeight(image); ++y)
        for (int x = 0; x < ImageWidth(image); ++x) {
            const uint8_t v = static_cast<uint8_t>(ImageGetPixel(image, x, y));
            indices.update(&v, 1);
        }
    const int entries = 1 << ImageBitCount(image);
    for (int i = 0; i < 256; ++i) {
        uint8_t rgb[3] = {0, 0, 0};
        if (i < entries) {
            const RgbQuad* q = ImageColorTable(image, i);
            rgb[0] = q->rgbRed, rgb[1] = q->rgbGreen, rgb[2] = q->rgbBlue;
        }
        palette.update(rgb, 3);
        for (uint8_t& c : rgb) c >>= 2;
        palette6.update(rgb, 3);
    }
    return indices.hexDigest() + "," + palette.hexDigest() + "," + palette6.hexDigest();
}

int RunInfo(const std::vector<std::string>& args) {
    if (args.size() != 1) return -1;
    Image* first = LoadOrComplain(args[0]);
    if (!first) return 1;
    const FileFormat* format = ImageFormat(first);
    std::printf("format: %s\n", format ? format->description : "?");
    std::printf("width: %d\nheight: %d\ndepth: %d\nframes: %d\n", ImageWidth(first), ImageHeight(first), ImageBitCount(first),
                ImageCount(first));
    int index = 0;
    for (const Image* frame = first; frame; frame = ImageNext(frame), ++index)
        std::printf("frame %d: %u ms\n", index, ImageGetDelay(frame));
    ImageDestroy(first);
    return 0;
}

int RunFrameMd5(const std::vector<std::string>& args) {
    bool pal8 = false;
    std::string path;
    for (const std::string& a : args) {
        if (a == "--pal8") pal8 = true;
        else if (path.empty()) path = a;
        else return -1;
    }
    if (path.empty()) return -1;
    Image* first = LoadOrComplain(path);
    if (!first) return 1;
    if (pal8 && ImageBitCount(first) > 8) {
        std::fprintf(stderr, "movrel: --pal8 needs a palette image: %s\n", path.c_str());
        ImageDestroy(first);
        return 1;
    }
    int index = 0;
    for (const Image* frame = first; frame; frame = ImageNext(frame), ++index) {
        std::printf("%d,%u,%dx%d,%s\n", index, ImageGetDelay(frame), ImageWidth(frame), ImageHeight(frame),
                    pal8 ? Pal8Md5s(frame).c_str() : RgbMd5(frame).c_str());
    }
    ImageDestroy(first);
    return 0;
}

const Command kCommands[] = {
    {"info", "info FILE", "Prints the format, width, height, bit depth, number of frames and each frame's delay.", RunInfo},
    {"framemd5", "framemd5 [--pal8] FILE",
     "Prints one line per frame: index,delay_ms,WIDTHxHEIGHT,md5 where md5 is the MD5 of the frame\n"
     "as packed top-down RGB24 (the bytes that ffmpeg's framemd5 with -pix_fmt rgb24 hashes).\n"
     "--pal8: instead the MD5s of the palette indices, of the 256-entry RGB palette and of that\n"
     "palette reduced to 6 bits (palette images only).",
     RunFrameMd5},
};

int MainUsage(FILE* out) {
    std::fprintf(out, "usage: movrel COMMAND [ARGS]   (movrel COMMAND --help for details)\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
    return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return MainUsage(stderr);
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") return MainUsage(stdout);
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& command : kCommands) {
        if (name != command.name) continue;
        if (WantsHelp(args)) return Usage(command, stdout);
        FormatRegisterAll();
        const int result = command.run(args);
        return result < 0 ? Usage(command, stderr) : result;
    }
    std::fprintf(stderr, "movrel: unknown command '%s'\n", name.c_str());
    return MainUsage(stderr);
}
