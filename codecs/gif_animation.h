// The animated GIF encoder behind the GIF stream. One global colour table
// serves every frame whose colours it holds (chosen from the whole animation
// when the caller passes it); a frame with other colours gets a local table.
// After the first, each frame is written as the rectangle that changed since
// the one before, drawn over it (disposal "keep"), with the pixels that stayed
// as the transparent index when that encodes smaller. A frame equal to the one
// before is not written: its delay is added to that frame's. Frames above 8
// bits per pixel keep their colours when they have 256 or fewer, else are
// reduced (image/quantize.h) to the global table when it serves them about as
// well as a table of their own, else to their own.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/mem_buffer.h"

struct GifAnimation;

// Writes the header, sized from `first`, the global colour table and the
// looping extension into `out`. The table comes from the colours of the chain
// `frames` when given, else of `first`. None with `error` set (3 out of
// memory, 6 when a write into the buffer fails).
GifAnimation* GifAnimationStart(const Image* first, const Image* frames, bool dither, MemBuffer* out,
                                ErrorCode* error);

// Takes the next frame (its delay in milliseconds). Writes into `out` the
// frame before it, unless the two are equal. False with `error` set.
bool GifAnimationAdd(GifAnimation* animation, const Image* frame, uint32_t delay, MemBuffer* out, ErrorCode* error);

// Writes the frame still held and the trailer. False with `error` set.
bool GifAnimationFinish(GifAnimation* animation, MemBuffer* out, ErrorCode* error);

void GifAnimationDestroy(GifAnimation* animation);
