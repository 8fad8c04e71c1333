// Little-endian output, the counterpart of ByteReader. A ByteWriter appends
// to a MemBuffer and remembers the first failure, so that an encoder writes
// straight through and checks once at the end; PutU16 and PutU32 fill fixed
// headers that are built in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/mem_buffer.h"

inline void PutU16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutU32(uint8_t* at, uint32_t value) {
    PutU16(at, value);
    PutU16(at + 2, value >> 16);
}

class ByteWriter {
public:
    // Writes after what the buffer already holds.
    explicit ByteWriter(MemBuffer* buffer) : buffer_(buffer), at_(buffer->data + buffer->size) {}

    bool ok() const { return at_ != nullptr; }

    void write(const void* source, size_t length) {
        if (!at_) return;
        if (length > static_cast<size_t>(INT32_MAX)) {
            at_ = nullptr;
            return;
        }
        at_ = MemBufferWrite(buffer_, at_, source, static_cast<int32_t>(length));
    }
    void u8(uint32_t value) {
        const uint8_t byte = static_cast<uint8_t>(value);
        write(&byte, 1);
    }
    void u16(uint32_t value) {
        uint8_t bytes[2];
        PutU16(bytes, value);
        write(bytes, 2);
    }
    void u32(uint32_t value) {
        uint8_t bytes[4];
        PutU32(bytes, value);
        write(bytes, 4);
    }

private:
    MemBuffer* buffer_;
    uint8_t* at_;
};
