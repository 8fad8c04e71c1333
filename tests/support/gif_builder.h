// A GIF writer for tests: builds exact files block by block, with image data
// from a plain literal-code encoder or from hand-made code streams, so that
// reader tests do not depend on the library's own encoder.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/flic_writer.h"  // Bytes, Picture, Rgb

// Codes packed least significant bit first, each with its own width.
class CodeStream {
public:
    CodeStream& code(int value, int width);
    // The packed bytes (a last partial byte padded with zero bits).
    Bytes bytes() const;

private:
    Bytes bytes_;
    uint32_t bits_ = 0;
    int count_ = 0;
};

// Every pixel as its own root code, the widths following the table growth
// that a decoder sees; with `clearEvery` > 0 a clear code after that many
// pixels. Without clears the table fills up and later codes stay 12 bits.
Bytes LiteralCodes(const std::vector<uint8_t>& pixels, int minCodeSize, int clearEvery = 0);

// The pixels as a plain LZW encoder codes them (the longest string in the
// table each time, no clears once it is full), so that strings run across
// rows as they do in real files.
Bytes LzwCodes(const std::vector<uint8_t>& pixels, int minCodeSize);

// `count` pixels of value 0 in the fewest codes: each extends the string
// before it by a pixel and, once the table is full, the longest repeats,
// thousands of pixels a byte.
Bytes RunCodes(int64_t count, int minCodeSize);

// Image data as sub-blocks of at most `blockSize` bytes, without the terminator.
Bytes SubBlocks(const Bytes& data, int blockSize = 255);

struct GifImage {
    int left = 0, top = 0, width = 0, height = 0;
    std::vector<Rgb> localTable;  // empty: none; the size is rounded up to a power of two
    bool interlaced = false;
    int minCodeSize = 8;
    // Pixels top-down as they appear on the canvas (the builder reorders
    // rows for an interlaced image); ignored when `data` is given.
    std::vector<uint8_t> pixels;
    Bytes data;              // packed codes, split into sub-blocks by the builder
    bool terminator = true;  // the zero-length sub-block after the data
};

class GifBuilder {
public:
    GifBuilder(int width, int height, const char* version = "GIF89a");

    GifBuilder& globalTable(const std::vector<Rgb>& colors, int backgroundIndex = 0);
    // Graphic control extension; transparentIndex < 0: no transparency.
    GifBuilder& control(int disposal, int delay, int transparentIndex = -1);
    GifBuilder& comment(const std::vector<Bytes>& subBlocks);
    GifBuilder& loopExtension();
    GifBuilder& image(const GifImage& image);
    GifBuilder& raw(const Bytes& bytes);
    Bytes finish(bool trailer = true);

private:
    Bytes out_;
};

// A table of n colours, entry i = (i, 255 - i, i * 7).
std::vector<Rgb> TestColors(int n);
