#include "formats/mem_buffer.h"

#include <cstring>

MemBuffer* MemBufferCreate(int32_t initialCapacity, int32_t growStep) {
    if (initialCapacity < 0 || growStep <= 0) return nullptr;
    auto* buffer = static_cast<MemBuffer*>(MemAlloc(sizeof(MemBuffer)));
    if (!buffer) return nullptr;
    auto* block = static_cast<uint8_t*>(MemAlloc(static_cast<size_t>(initialCapacity)));
    if (!block) {
        MemFree(buffer);
        return nullptr;
    }
    buffer->capacity = initialCapacity;
    buffer->growStep = growStep;
    buffer->size = 0;
    buffer->data = buffer->cursor = block;
    buffer->end = block + initialCapacity;
    return buffer;
}

uint8_t* MemBufferWrite(MemBuffer* buffer, uint8_t* position, const void* source, int32_t length) {
    if (length < 0 || position < buffer->data || position > buffer->end) return nullptr;
    const int64_t offset = position - buffer->data;
    const int64_t needed = offset + length;
    if (needed > buffer->capacity) {
        // Whole steps, as many as the write needs, in one resize.
        const int64_t steps = (needed - buffer->capacity + buffer->growStep - 1) / buffer->growStep;
        const int64_t capacity = buffer->capacity + steps * int64_t{buffer->growStep};
        if (capacity > INT32_MAX) return nullptr;
        auto* grown = static_cast<uint8_t*>(MemRealloc(buffer->data, static_cast<size_t>(capacity)));
        if (!grown) return nullptr;
        buffer->data = grown;
        buffer->capacity = static_cast<int32_t>(capacity);
        buffer->end = grown + capacity;
        position = grown + offset;
    }
    if (length > 0) std::memcpy(position, source, static_cast<size_t>(length));
    buffer->cursor = position + length;
    buffer->size = static_cast<int32_t>(buffer->cursor - buffer->data);
    return buffer->cursor;
}

uint8_t* MemBufferPutByte(MemBuffer* buffer, uint8_t* position, uint32_t value) {
    const uint8_t byte = static_cast<uint8_t>(value);
    return MemBufferWrite(buffer, position, &byte, 1);
}

void MemBufferClear(MemBuffer* buffer) {
    buffer->size = 0;
    buffer->cursor = buffer->data;
}

void MemBufferFree(MemBuffer* buffer) {
    if (!buffer) return;
    MemFree(buffer->data);
    MemFree(buffer);
}
