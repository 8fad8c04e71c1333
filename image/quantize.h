// Colour reduction: the distinct colours of a picture, palettes of up to 256
// colours chosen for true-colour pictures, and pixels mapped onto a palette.
//
// Colours are 0xRRGGBB values throughout. Distances weigh the channels as the
// eye does (green most, blue least) on the stored sRGB values, which are
// already close to perceptually even steps; error figures for PSNR are plain
// RGB sums of squares, as the usual tools measure them.
#pragma once

#include <cstdint>
#include <vector>

#include "image/image.h"

// Where the long passes below count their work (a unit a pixel or a
// histogram cell) and see a stop (formats/format.h); none: never stopped.
// A pass that stops returns as when memory runs out.
//
// Where memory runs out, the steps below throw std::bad_alloc from their
// containers, for the caller to end its work as it ends it for memory.
class WorkMeter;

struct ColorCount {
    uint32_t color;
    uint64_t count;
};

// The distance the palettes minimise: squared channel differences weighed
// 3 (red), 4 (green) and 2 (blue).
int ColorDistance(uint32_t a, uint32_t b);

// The distinct colours of an image of any depth with their pixel counts,
// most frequent first (ties by colour). False, with `out` unspecified, once
// there are more than `limit`.
bool ImageDistinctColors(const Image* image, int limit, std::vector<ColorCount>* out, WorkMeter* work = nullptr);

// The colours of row y of an image of any depth (16 bits as 5-5-5, 32 bits
// without the fourth byte), ImageWidth(image) of them.
void ImageRowColors(const Image* image, int y, uint32_t* out);

// Pixel colours gathered for choosing a palette: per cell of a 6-bit-a-channel
// grid, the pixel count and the exact sums of the colours that fell in it.
class ColorHistogram {
public:
    // Adds every pixel of the image. False when the meter stops it.
    bool add(const Image* image, WorkMeter* work = nullptr);
    // Adds `count` pixels of one colour, as an image of them would.
    void add(uint32_t color, uint64_t count);

    struct Cell {
        uint64_t count;
        uint64_t sum[3];  // red, green, blue
    };
    // The cells that hold pixels.
    std::vector<Cell> cells() const;

private:
    std::vector<Cell> grid_;
};

// Up to `maxColors` (1 to 256) colours for the histogram's pixels: the
// pixels are split into boxes, the box of the largest error first, each at
// the cut that leaves the least error, and the box means then refined by a
// few k-means passes. The count of colours written to `out`; 0 for an empty
// histogram.
int QuantizePalette(const ColorHistogram& histogram, int maxColors, PaletteEntry* out, WorkMeter* work = nullptr);

// The nearest colour of a palette, remembered for colours asked before.
class PaletteMatcher {
public:
    PaletteMatcher(const PaletteEntry* palette, int count);
    int nearest(uint32_t color);

private:
    int search(int r, int g, int b) const;
    struct Entry {
        int r, g, b, index;
    };
    std::vector<Entry> byGreen_;  // sorted by green, the search's axis
    std::vector<uint32_t> keys_;  // cache: colour + 1 (0 for empty)
    std::vector<uint8_t> values_;
};

// A new 8-bit image of the source's size whose pixels are the palette
// entries (count 1 to 256) nearest to the source's colours, with Floyd-
// Steinberg error diffusion when `dither` is set; its palette holds those
// entries (black above count). `error`, when given, receives the sum of
// squared RGB differences. None when the picture finds no memory or the
// meter stops it.
Image* ImageMapToPalette(const Image* source, const PaletteEntry* palette, int count, bool dither,
                         uint64_t* error, WorkMeter* work = nullptr);

// A new 8-bit image for an image of any depth: exactly its colours when it
// has 256 or fewer (most frequent first; `count` receives how many), else a
// palette chosen for it by QuantizePalette and the pixels mapped onto it.
// None when the picture finds no memory or the meter stops it.
Image* ImageReduceColors(const Image* source, bool dither, int* count, WorkMeter* work = nullptr);

// Peak signal-to-noise ratio in dB of a sum of squared 8-bit differences
// over `samples` values; 99 for no difference at all.
double ColorPsnr(uint64_t squaredError, uint64_t samples);
