// FLIC animations (Autodesk Animator FLI and FLC): probe and loader.
#pragma once

#include "formats/format.h"

constexpr uint16_t kFliMagic = 0xAF11;
constexpr uint16_t kFlcMagic = 0xAF12;
constexpr uint16_t kFlicFrameChunk = 0xF1FA;
constexpr int kFlicHeaderSize = 128;

// Subchunk types inside a frame chunk.
enum FlicChunkType : uint16_t {
    kFlicColor256 = 4,
    kFlicDeltaFlc = 7,
    kFlicColor64 = 11,
    kFlicDeltaFli = 12,
    kFlicBlack = 13,
    kFlicByteRun = 15,
    kFlicCopy = 16,
    kFlicPostageStamp = 18,
};

int FlicProbe(const LoadRequest* request);
// "FLI" or "FLC", as the magic number of the header at `data` says; "FLC"
// for any other bytes.
const char* FlicKind(const uint8_t* data, size_t size);

// Delay of every frame in milliseconds: FLI counts speed in 1/70 s, FLC in ms.
uint32_t FlicDelayMs(uint16_t magic, uint32_t speed);

extern const FileFormat kFlicFormat;
// The format's stream, which writes FLC files (flic_writer.h).
extern const StreamOps kFlicStreamOps;
