// Pro Motion animations (SPR): uncompressed 8-bit frames of one size, each
// with its own palette and delay. Probe, loader, and a saver that writes the
// given image and every image after it in its chain.
#pragma once

#include <cstdint>

#include "formats/format.h"

constexpr int kSprHeaderSize = 9;
constexpr int kSprRecordHead = 770;  // delay (16 bits) and 256 RGB triples

int SprProbe(const LoadRequest* request);
Image* SprLoad(LoadRequest* request);

extern const FileFormat kSprFormat;
