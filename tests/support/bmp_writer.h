// Builds BMP files for tests, field by field, including the odd layouts that
// real writers produce.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tests/support/flic_writer.h"  // Bytes, Rgb

struct BmpLayout {
    uint32_t infoSize = 40;  // 12 writes an OS/2 core header with 3-byte colour entries
    int32_t width = 1;
    int32_t height = 1;      // negative: top-down rows
    uint16_t bitCount = 8;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    // Inside headers of 52 bytes or more, otherwise right after the header.
    std::vector<uint32_t> masks;
    std::vector<Rgb> palette;
    uint8_t reserved = 0;    // fourth byte of each 4-byte colour entry
    Bytes pixels;            // the pixel block as stored
    std::optional<uint32_t> pixelOffset;  // default: right after the table
};

Bytes BuildBmp(const BmpLayout& layout);

// Rows given top-down, each padded to a multiple of 4 bytes, stored bottom-up
// (or top-down when asked).
Bytes BmpRows(const std::vector<Bytes>& topDownRows, bool storeTopDown = false);

// A little-endian 16- or 32-bit value appended to a row.
void PutLe(Bytes& out, uint32_t value, int bytes);
