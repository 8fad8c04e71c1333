// Windows and OS/2 bitmaps (BMP, DIB): probe, loader and saver.
#pragma once

#include "formats/format.h"
#include "formats/save.h"

constexpr uint16_t kBmpMagic = 0x4D42;  // "BM"
constexpr int kBmpFileHeaderSize = 14;

// Compression values of the info header.
enum BmpCompression : uint32_t {
    kBmpRgb = 0,
    kBmpRle8 = 1,
    kBmpRle4 = 2,
    kBmpBitfields = 3,
    kBmpJpeg = 4,
    kBmpPng = 5,
    kBmpAlphaBitfields = 6,  // Windows CE: four masks after a 40-byte header
};

int BmpProbe(const LoadRequest* request);
// One image; 16- and 32-bit pixels in other layouts than 5-5-5 and 8-8-8
// become 24-bit images (32-bit with alpha in the fourth byte when the file
// has an alpha mask).
Image* BmpLoad(LoadRequest* request);
// The image's own header block and pixels behind a file header, unchanged.
int BmpSave(Image* image, SaveRequest* request);

extern const FileFormat kBmpFormat;
