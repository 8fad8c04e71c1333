// GIF reader (GIF87a and GIF89a): probe and frame decoder. Every image
// block is composed onto the frames before it, so each frame is a complete
// picture of the canvas, as a browser shows it.
#pragma once

#include "formats/format.h"

int GifProbe(const LoadRequest* request);
// The registry row's decoder and structure walk (FileFormat).
DecoderPtr GifOpen(LoadRequest* request);
uint64_t GifDuration(const LoadRequest* request, int32_t frames, uint32_t* each);

// Milliseconds a frame shows for a graphic control delay in hundredths of a
// second. Browsers play 0 and 1 as 100 ms, and files are made for browsers.
uint32_t GifDelayMs(uint16_t hundredths);
