// ZSoft PCX (PC Paintbrush) images: probe, loader and saver, with the format's
// byte-wise run-length encoding.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"

constexpr int kPcxHeaderSize = 128;
constexpr int kPcxPaletteSize = 768;  // the 256-colour palette at the end of 8-bit files
constexpr uint8_t kPcxPaletteMarker = 12;

int PcxProbe(const LoadRequest* request);
Image* PcxLoad(LoadRequest* request);

// Encodes one plane line of `length` bytes into `out`, which must hold
// 2 * length bytes (every byte a 0xC0-or-above literal at worst); returns the
// number of bytes written. Runs hold 2 to 63 bytes and never leave the line.
int PcxEncodeLine(const uint8_t* line, int length, uint8_t* out);

// Images of 1, 2, 4, 8 and 24 bits per pixel; 16 and 32 bits give error 4.
int PcxSave(Image* image, SaveRequest* request);

extern const FileFormat kPcxFormat;
