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
//
// The encoder keeps a copy of the latest frame, and the block of that frame
// until the next one shows whether it is joined. A frame of 8 bits or fewer
// is compared with the copy row by row and only what changed is looked at
// again, so that a long animation of small changes costs little more than
// the changes. Blocks are encoded a row at a time, so that beside the copy
// and the blocks a frame needs memory only for a row.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/mem_buffer.h"

struct GifAnimation;

// The colours of an animation gathered a frame at a time, for the global
// colour table: a caller passes over its frames once to gather them and once
// more to encode, holding one frame at a time. Keeps a copy of the latest
// frame of 8 bits or fewer, so that only what changed is counted.
struct GifColorCollector;

// `work`, when given, counts the work of every pass (a unit a pixel) and
// stops it: a pass that stops fails, cancelled.
GifColorCollector* GifColorCollectorCreate(WorkMeter* work = nullptr);
// Counts the colours of the next frame. False when the meter stops; where
// memory runs out, its containers throw std::bad_alloc.
bool GifColorCollectorAdd(GifColorCollector* collector, const Image* frame);
void GifColorCollectorDestroy(GifColorCollector* collector);

// Writes the header, sized from `first`, the global colour table and the
// looping extension into `out`. The table comes from the colours gathered in
// `colors` when it has any, else from those of `first`: every colour, most
// used first, when they number 256 or fewer; else the first frame's and then
// the most used others; else, when a frame has more than 256, a palette
// chosen for all the frames. None with `error` set (3 out of memory, 6 when a
// write into the buffer fails; none when `work` stopped it). The animation
// counts all its work on `work`, when given, and stops with it.
GifAnimation* GifAnimationStartWith(const Image* first, const GifColorCollector* colors, bool dither, MemBuffer* out,
                                    Status* error, WorkMeter* work = nullptr);

// Takes the next frame (its delay in milliseconds). Writes into `out` the
// frame before it, unless the two are equal. False with `error` set.
bool GifAnimationAdd(GifAnimation* animation, const Image* frame, uint32_t delay, MemBuffer* out, Status* error);

// Writes the frame still held and the trailer. False with `error` set.
bool GifAnimationFinish(GifAnimation* animation, MemBuffer* out, Status* error);

void GifAnimationDestroy(GifAnimation* animation);
