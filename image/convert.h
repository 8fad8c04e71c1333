// Colour lookup, fill and depth conversion, all through the pixel accessors.
#pragma once

#include "image/image.h"

class WorkMeter;

// The colour of pixel (x, y): for depths up to 8 its colour table entry as a
// little-endian 32-bit value (blue in bits 0-7, green 8-15, red 16-23, the
// entry's reserved byte 24-31); above 8 the pixel value itself.
uint32_t ImageColorAt(const Image* image, int x, int y);

// Writes `value` to every pixel. Returns 1.
int ImageFill(Image* image, uint32_t value);

// A new image of the same size at `depth`, standing alone (no links, no
// format, delay 0); the same depth gives ImageDuplicate. To 24 bits every depth
// converts: up to 8 bits through the colour table, 16 bits as 5-5-5, 32 bits
// without the fourth byte. Any other pair gives an all-zero image. None when
// the image cannot be created, or when `work` (a unit a pixel) stops it.
Image* ImageConvert(const Image* image, int depth, WorkMeter* work = nullptr);

// A colour channel of 1 to 8 bits widened to 8 bits: scaled and rounded
// down, v * 255 / (2^bits - 1), so that the largest value is 255 (a 5-bit 21
// gives 172). Every reader widens narrow channels through this one rule.
constexpr uint32_t ChannelTo8(uint32_t v, int bits) { return v * 255 / ((1u << bits) - 1); }

// A 16-bit 5-5-5 pixel as a 24-bit value (blue + green * 256 + red * 65536).
constexpr uint32_t Rgb555To24(uint32_t v) {
    return ChannelTo8(v & 31, 5) | (ChannelTo8((v >> 5) & 31, 5) << 8) | (ChannelTo8((v >> 10) & 31, 5) << 16);
}
