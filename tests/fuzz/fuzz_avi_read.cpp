// Any bytes as an AVI file through the stream's read mode: open, read every
// frame (the first 64), close.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "codecs/avi.h"
#include "codecs/codecs.h"

namespace {

// The stream reads files, so every input goes through one of these.
struct InputFile {
    std::string path = "/tmp/movrel-fuzz-avi-" + std::to_string(getpid()) + ".avi";
    ~InputFile() { std::remove(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const InputFile input;
    const std::string& path = input.path;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    FormatRegisterAll();
    StreamOpenRequest open{kFormatAvi, path.c_str(), 0, nullptr, nullptr, kErrorNone};
    Stream* stream = StreamOpen(&open);
    if (!stream) return 0;
    Image* image = nullptr;
    for (int n = 0; n < stream->frameCount && n < 64; ++n) {
        StreamReadRequest read{nullptr, n, nullptr, kErrorNone};
        Image* frame = AviReadFrame(stream, &read);
        // The stream has one image and hands it out on every read.
        if (frame && image && frame != image) __builtin_trap();
        if (frame) image = frame;
    }
    StreamCloseRequest close{};
    StreamClose(stream, &close);
    return 0;
}
