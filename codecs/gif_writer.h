// GIF writer: one image of 1 to 8 bits per pixel as GIF89a data, the parts
// of the file chosen by flags, and the blocks that the animation encoder
// (gif_animation.h) writes with.
#pragma once

#include <cstdint>

#include "formats/byte_writer.h"
#include "formats/format.h"
#include "formats/mem_buffer.h"

// Which parts of a GIF file a save writes.
enum GifSaveFlags : uint32_t {
    kGifHeader = 1,   // header and logical screen descriptor
    kGifImage = 2,    // graphic control extension, image descriptor, colour table, data
    kGifTrailer = 4,  // the trailer byte
};

// The `options` of a SaveRequest for GIF; none means {7, 0, 0}.
struct GifSaveOptions {
    uint32_t flags;
    uint32_t delay;   // hundredths of a second; above 65535 written as 65535
    uint32_t dither;  // images above 8 bits per pixel: Floyd-Steinberg error diffusion
};

// The saver: the parts that the request's options select, or a complete
// single-image file without options. An image above 8 bits per pixel is
// written with its own colours when it has 256 or fewer, else with a palette
// chosen for it (image/quantize.h). Sets the request's output, or its error
// (3 out of memory, 6 when a buffer write fails).
int GifSave(Image* image, SaveRequest* request);

// Encodes the parts of a GIF file that `options` selects into a new buffer.
// None with `error` set (3 out of memory, 6 when a write into the buffer
// fails).
MemBuffer* GifEncode(const Image* image, const GifSaveOptions& options, Status* error);

// ---- Building blocks of the writers -------------------------------------------

// What comes before one image's data: graphic control extension, image
// descriptor, local colour table.
struct GifImageHead {
    int left, top, width, height;
    const PaletteEntry* table;  // the local colour table, or none for the global one
    int tableBits;              // its size: 2^tableBits entries (1 to 8), black past `tableCount`
    int tableCount;
    int transparent;            // the transparent index, or -1
    int disposal;               // 0 none said, 1 keep the image in place
    uint32_t delay;             // hundredths of a second; above 65535 written as 65535
};

void GifWriteImageHead(ByteWriter& out, const GifImageHead& head);

// A colour table of 2^bits entries: `count` colours, then black.
void GifWriteColorTable(ByteWriter& out, const PaletteEntry* entries, int count, int bits);

// A delay in milliseconds as the hundredths of a graphic control extension:
// rounded to the nearest, at most 65535, and at least 2 when it is above 0,
// since readers play 0 and 1 hundredth as 100 ms.
uint32_t GifDelayHundredths(uint32_t milliseconds);

// The fewest bits (1 to 8) that number `count` values.
int GifBitsFor(int count);
