// A bounded little-endian reader over file bytes. Every decoder reads through
// one: a read past the end returns zeros and marks the reader failed, so a
// damaged file becomes "Invalid data" instead of a read outside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool ok() const { return !failed_; }
    bool failed() const { return failed_; }
    size_t size() const { return size_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool atEnd() const { return pos_ >= size_; }
    const uint8_t* data() const { return data_; }

    // Moves to an absolute position; past the end fails.
    bool seek(size_t position) {
        if (position > size_) return fail();
        pos_ = position;
        return true;
    }

    bool skip(size_t count) {
        if (count > remaining()) {
            pos_ = size_;
            return fail();
        }
        pos_ += count;
        return true;
    }

    uint8_t u8() {
        if (pos_ >= size_) return fail(), 0;
        return data_[pos_++];
    }
    int8_t s8() { return static_cast<int8_t>(u8()); }

    uint16_t u16() {
        const uint8_t* p = take(2);
        return p ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
    }
    int16_t s16() { return static_cast<int16_t>(u16()); }

    uint32_t u32() {
        const uint8_t* p = take(4);
        return p ? p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24) : 0;
    }
    int32_t s32() { return static_cast<int32_t>(u32()); }

    // The next `count` bytes, or none (and failed) when fewer remain.
    const uint8_t* take(size_t count) {
        if (count > remaining()) {
            pos_ = size_;
            fail();
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += count;
        return p;
    }

    bool read(void* out, size_t count) {
        const uint8_t* p = take(count);
        if (!p) return false;
        std::memcpy(out, p, count);
        return true;
    }

    // Values at an absolute offset, without moving; zero (and failed) past the end.
    uint16_t u16At(size_t offset) {
        if (offset > size_ || size_ - offset < 2) return fail(), 0;
        return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    }
    uint32_t u32At(size_t offset) {
        if (offset > size_ || size_ - offset < 4) return fail(), 0;
        const uint8_t* p = data_ + offset;
        return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    }

    // A reader over [offset, offset + length) of this one, clamped to its end,
    // so that a chunk never reads into the bytes after it.
    ByteReader sub(size_t offset, uint64_t length) const {
        if (offset >= size_) return ByteReader(data_ + size_, 0);
        const size_t available = size_ - offset;
        const size_t n = length < available ? static_cast<size_t>(length) : available;
        return ByteReader(data_ + offset, n);
    }

private:
    bool fail() {
        failed_ = true;
        return false;
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool failed_ = false;
};
