// Truevision TGA (Targa) images: probe, loader and saver, uncompressed or
// run-length encoded.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/mem_buffer.h"

constexpr int kTgaHeaderSize = 18;

// Image types of the header.
enum TgaImageType : uint8_t {
    kTgaColorMapped = 1,
    kTgaTrueColor = 2,
    kTgaGray = 3,
    kTgaRunLength = 8,  // added to one of the above
};

// Passed through a SaveRequest's options for TGA: nonzero asks for run-length
// encoding; no options, or 0, writes the image uncompressed.
struct TgaSaveOptions {
    uint32_t runLength;
};

int TgaProbe(const LoadRequest* request);
Image* TgaLoad(LoadRequest* request);

// Encodes one row of `pixels` pixels of `bytesPerPixel` bytes into `out`,
// which must hold 2 * pixels * bytesPerPixel bytes; returns the number of
// bytes written. No packet leaves the row.
int TgaEncodeRow(const uint8_t* row, int pixels, int bytesPerPixel, uint8_t* out);

// The whole file for an image of 8, 16, 24 or 32 bits per pixel, or none with
// `error` set: 4 for 1, 2 and 4 bits, 3 without memory, 6 when the output
// cannot grow.
MemBuffer* TgaEncode(const Image* image, bool runLength, ErrorCode* error);

extern const FileFormat kTgaFormat;
