// Truevision TGA (Targa) images: probe, loader and saver, uncompressed or
// run-length encoded.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"

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

// Images of 8, 16, 24 and 32 bits per pixel, raw or run-length as the
// request's TgaSaveOptions say; 1, 2 and 4 bits give error 4.
int TgaSave(Image* image, SaveRequest* request);

extern const FileFormat kTgaFormat;
