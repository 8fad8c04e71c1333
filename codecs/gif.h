// The GIF format: its registry row and the animated GIF stream, which ties
// the reader, the writer and the animation encoder together.
#pragma once

#include <cstdint>

#include "formats/format.h"

struct GifColorCollector;

// The `options` of the GIF stream's open; none means {nullptr, 0, nullptr}.
struct GifStreamOptions {
    uint32_t dither;  // frames whose colours are reduced: Floyd-Steinberg error diffusion
    // The colours of the animation to come gathered beforehand (gif_animation.h),
    // which choose the global table; none: the first frame's.
    const GifColorCollector* colors = nullptr;
};

// The animated GIF stream (writing only), through the animation encoder
// (gif_animation.h): the open writes the header, sized from the first frame,
// the global colour table and the looping extension; each frame goes out one
// step late (a frame equal to the one before only adds its delay to it, and
// its step leaves nothing to write); the close writes the last frame and the
// trailer.
extern const StreamOps kGifStreamOps;

// The GIF registry entry: the reader's probe, loader and frame decoder
// (gif_reader.h), the writer's saver (gif_writer.h) and this stream.
extern const FileFormat kGifFormat;
