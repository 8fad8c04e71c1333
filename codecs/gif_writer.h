// GIF writer: one image of 1 to 8 bits per pixel as GIF89a data, the parts
// of the file chosen by flags, and the animated GIF stream built on it.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/mem_buffer.h"

// Which parts of a GIF file a save writes.
enum GifSaveFlags : uint32_t {
    kGifHeader = 1,   // header and logical screen descriptor
    kGifImage = 2,    // graphic control extension, image descriptor, colour table, data
    kGifTrailer = 4,  // the trailer byte
};

// The `options` of a SaveRequest for GIF; none means {7, 0}.
struct GifSaveOptions {
    uint32_t flags;
    uint32_t delay;  // hundredths of a second; above 65535 written as 65535
};

// The saver: the parts that the request's options select, or a complete
// single-image file without options. Sets the request's output, or its error
// (4 above 8 bits per pixel, 3 out of memory, 6 when a buffer write fails).
int GifSave(Image* image, SaveRequest* request);

// The animated GIF stream (writing only): the open writes the header, sized
// from the first frame, and the looping extension; each frame one image with
// its delay; the close the trailer.
extern const StreamOps kGifStreamOps;

// The GIF registry entry: the reader's probe and loader, this saver and stream.
extern const FileFormat kGifFormat;

// Encodes the parts of a GIF file that `options` selects into a new buffer.
// None with `error` set (4 above 8 bits per pixel, 3 out of memory, 6 when a
// write into the buffer fails).
MemBuffer* GifEncode(const Image* image, const GifSaveOptions& options, ErrorCode* error);
