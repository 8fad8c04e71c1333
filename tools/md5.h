// MD5 (RFC 1321), for frame checksums comparable with ffmpeg's framemd5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Md5 {
public:
    Md5();
    void update(const void* data, size_t size);
    std::string hexDigest();  // finishes the hash

private:
    void blocks(const uint8_t* data, size_t count);  // whole 64-byte blocks
    uint32_t state_[4];
    uint64_t length_ = 0;
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};
