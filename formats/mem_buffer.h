// The growable output buffer that every saver encodes into. Each write
// returns the position for the next one; growth is linear, by whole steps.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"

struct MemBuffer {
    int32_t capacity;
    int32_t growStep;
    int32_t size;
    uint8_t* data;
    uint8_t* cursor;
    uint8_t* end;
};

constexpr int32_t kMemBufferGrowStep = 32768;

MemBuffer* MemBufferCreate(int32_t initialCapacity, int32_t growStep);
// Writes at `position` (inside the buffer); returns the position just past
// the written bytes, or none when the buffer cannot grow (nothing written).
uint8_t* MemBufferWrite(MemBuffer* buffer, uint8_t* position, const void* source, int32_t length);
uint8_t* MemBufferPutByte(MemBuffer* buffer, uint8_t* position, uint32_t value);
void MemBufferFree(MemBuffer* buffer);
// Empties the buffer for new output, keeping its memory.
void MemBufferClear(MemBuffer* buffer);

struct MemBufferDeleter {
    void operator()(MemBuffer* buffer) const { MemBufferFree(buffer); }
};
// A buffer that is freed when it goes, unless released to its new owner.
using MemBufferPtr = std::unique_ptr<MemBuffer, MemBufferDeleter>;
