// FLC (Animator Pro) export: the stream that writes FLIC's frame stream back.
//
// The header's speed is the greatest common divisor of the delays (at least
// 1 ms), and a frame that shows longer is followed by empty frames, so that
// every delay is kept. The first frame is BYTE_RUN (or COPY where that is
// smaller); each later one DELTA_FLC or BYTE_RUN, whichever is smaller, and
// nothing at all when it did not change; COLOR_256 only where the palette
// changed, as packets of the runs that did. The ring frame (from the last
// frame back to the first) ends the file, and the header is filled in at the
// close (the stream writes its own file, under a temporary name). Frames of
// more than 8 bits are reduced to 256 colours each (image/quantize.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/format.h"
#include "formats/save.h"

// The open's options: the delays the frames will come with, added one by
// one before the export (FlicPlanDelay). Without options every frame plays
// its own delay rounded to the first frame's.
struct FlicStreamOptions {
    uint32_t divisor = 0;      // of the delays so far, 0 before any
    uint64_t milliseconds = 0;  // their sum
    uint32_t frames = 0;
};
void FlicPlanDelay(FlicStreamOptions& options, uint32_t delay);
// The header's speed for the delays: their greatest common divisor, made
// coarser where the repeated frames would not fit the header's count.
uint32_t FlicPlanSpeed(const FlicStreamOptions& options);

// ---- The chunk encoders, on their own for tests ---------------------------------
// Pictures are top-down, `width` bytes a row.

// BYTE_RUN data of a whole picture.
std::vector<uint8_t> FlicEncodeByteRun(const uint8_t* pixels, int width, int height);
// DELTA_FLC data from `previous` to `current`; empty when they are equal.
std::vector<uint8_t> FlicEncodeDeltaFlc(const uint8_t* previous, const uint8_t* current, int width, int height);
// COLOR_256 data of the entries (RGB triples, 8 bits) that differ from
// `previous` (all of them when it is none); empty when none differ.
std::vector<uint8_t> FlicEncodeColor256(const uint8_t* previous, const uint8_t* current);
