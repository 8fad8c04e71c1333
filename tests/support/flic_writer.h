// A FLIC writer for tests and the bundled sample: builds exact files chunk by
// chunk, with encoders for the common image chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// An 8-bit picture, top-down, width bytes a row.
struct Picture {
    int width = 0;
    int height = 0;
    Bytes pixels;

    Picture() = default;
    Picture(int w, int h, uint8_t fill = 0) : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}
    uint8_t& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

struct Rgb {
    uint8_t r, g, b;
};

struct PalettePacket {
    uint8_t skip;
    std::vector<Rgb> colors;  // 256 colours are written with count 0
};

class FlicWriter {
public:
    FlicWriter(uint16_t magic, int width, int height, uint32_t speed);

    // Header fields that tests want to set to odd values.
    FlicWriter& frameCountField(uint16_t frames);
    FlicWriter& firstFrameOffsetField(int32_t offset);

    // A chunk at frame level that is not a frame (a prefix chunk, 0xF100).
    FlicWriter& prefixChunk(const Bytes& body = Bytes(10, 0));
    FlicWriter& topChunk(uint16_t type, const Bytes& body);

    // Frames: begin one, add subchunks, and the next begin (or finish) closes it.
    FlicWriter& frame();
    FlicWriter& subchunk(uint16_t type, const Bytes& data);
    FlicWriter& color256(const std::vector<PalettePacket>& packets);
    FlicWriter& color64(const std::vector<PalettePacket>& packets);
    FlicWriter& black();
    FlicWriter& copy(const Picture& picture);
    FlicWriter& byteRun(const Picture& picture);
    FlicWriter& deltaFli(const Picture& previous, const Picture& current);
    FlicWriter& deltaFlc(const Picture& previous, const Picture& current);

    // The whole file. The header's frame count is the number of frames
    // written (unless set), and its size field the file size.
    Bytes finish();

private:
    void closeFrame();

    Bytes header_;
    Bytes body_;
    Bytes frame_;
    bool inFrame_ = false;
    int frameSubchunks_ = 0;
    int frames_ = 0;
    int frameCountOverride_ = -1;
    int width_;
    int height_;
};

// Encoders on their own, for tests of single chunks.
Bytes EncodeColor(const std::vector<PalettePacket>& packets, bool sixBit);
Bytes EncodeByteRun(const Picture& picture);
Bytes EncodeDeltaFli(const Picture& previous, const Picture& current);
Bytes EncodeDeltaFlc(const Picture& previous, const Picture& current);

void PutU16(Bytes& out, uint32_t value);
void PutU32(Bytes& out, uint32_t value);
