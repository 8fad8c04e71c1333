// Pro Motion animations (SPR): uncompressed 8-bit frames of one size, each
// with its own palette and delay. Probe, frame decoder, a saver that writes
// one image as a file of one frame, and a stream that writes many.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"

constexpr int kSprHeaderSize = 9;
constexpr int kSprRecordHead = 770;  // delay (16 bits) and 256 RGB triples

int SprProbe(const LoadRequest* request);

// Writes the image as a file of one frame. Error 4 when it is not 8 bits
// per pixel.
int SprSave(Image* image, SaveRequest* request);

// Writing an animation frame by frame through the stream driver: the header
// counts `frames`, which the stream must then be given, all 8-bit and of the
// first frame's size.
struct SprStreamOptions {
    int32_t frames;
};
// The writer, given to StreamOpen by the exports: the registry row offers no
// stream.
extern const StreamOps kSprStreamOps;

extern const FileFormat kSprFormat;
