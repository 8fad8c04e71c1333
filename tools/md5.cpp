#include "tools/md5.h"

#include <bit>
#include <cstring>

namespace {

// Little-endian word i of a block; memcpy keeps unaligned loads defined and
// compiles to one move on the machines we build for.
inline uint32_t Word(const uint8_t* block, int i) {
    const uint8_t* p = block + 4 * i;
    if constexpr (std::endian::native != std::endian::little)
        return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline uint32_t Rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

// The four round functions in the forms with the shortest dependency chains,
// each step adding its message word and constant before the function of b,
// the value computed last: F selects c or d by b, G selects b or c by d (its
// two terms never overlap, so they can be added one after the other).
#define MD5_STEP_F(a, b, c, d, w, k, s) a = b + Rotl(a + ((w) + (k)) + (d ^ (b & (c ^ d))), s)
#define MD5_STEP_G(a, b, c, d, w, k, s) a = b + Rotl(a + ((w) + (k)) + (~d & c) + (d & b), s)
#define MD5_STEP_H(a, b, c, d, w, k, s) a = b + Rotl(a + ((w) + (k)) + (b ^ c ^ d), s)
#define MD5_STEP_I(a, b, c, d, w, k, s) a = b + Rotl(a + ((w) + (k)) + (c ^ (b | ~d)), s)

}  // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::blocks(const uint8_t* data, size_t count) {
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; count > 0; --count, data += 64) {
        const uint32_t m0 = Word(data, 0), m1 = Word(data, 1), m2 = Word(data, 2), m3 = Word(data, 3);
        const uint32_t m4 = Word(data, 4), m5 = Word(data, 5), m6 = Word(data, 6), m7 = Word(data, 7);
        const uint32_t m8 = Word(data, 8), m9 = Word(data, 9), m10 = Word(data, 10), m11 = Word(data, 11);
        const uint32_t m12 = Word(data, 12), m13 = Word(data, 13), m14 = Word(data, 14), m15 = Word(data, 15);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEP_F(a, b, c, d, m0, 0xd76aa478, 7);
        MD5_STEP_F(d, a, b, c, m1, 0xe8c7b756, 12);
        MD5_STEP_F(c, d, a, b, m2, 0x242070db, 17);
        MD5_STEP_F(b, c, d, a, m3, 0xc1bdceee, 22);
        MD5_STEP_F(a, b, c, d, m4, 0xf57c0faf, 7);
        MD5_STEP_F(d, a, b, c, m5, 0x4787c62a, 12);
        MD5_STEP_F(c, d, a, b, m6, 0xa8304613, 17);
        MD5_STEP_F(b, c, d, a, m7, 0xfd469501, 22);
        MD5_STEP_F(a, b, c, d, m8, 0x698098d8, 7);
        MD5_STEP_F(d, a, b, c, m9, 0x8b44f7af, 12);
        MD5_STEP_F(c, d, a, b, m10, 0xffff5bb1, 17);
        MD5_STEP_F(b, c, d, a, m11, 0x895cd7be, 22);
        MD5_STEP_F(a, b, c, d, m12, 0x6b901122, 7);
        MD5_STEP_F(d, a, b, c, m13, 0xfd987193, 12);
        MD5_STEP_F(c, d, a, b, m14, 0xa679438e, 17);
        MD5_STEP_F(b, c, d, a, m15, 0x49b40821, 22);

        MD5_STEP_G(a, b, c, d, m1, 0xf61e2562, 5);
        MD5_STEP_G(d, a, b, c, m6, 0xc040b340, 9);
        MD5_STEP_G(c, d, a, b, m11, 0x265e5a51, 14);
        MD5_STEP_G(b, c, d, a, m0, 0xe9b6c7aa, 20);
        MD5_STEP_G(a, b, c, d, m5, 0xd62f105d, 5);
        MD5_STEP_G(d, a, b, c, m10, 0x02441453, 9);
        MD5_STEP_G(c, d, a, b, m15, 0xd8a1e681, 14);
        MD5_STEP_G(b, c, d, a, m4, 0xe7d3fbc8, 20);
        MD5_STEP_G(a, b, c, d, m9, 0x21e1cde6, 5);
        MD5_STEP_G(d, a, b, c, m14, 0xc33707d6, 9);
        MD5_STEP_G(c, d, a, b, m3, 0xf4d50d87, 14);
        MD5_STEP_G(b, c, d, a, m8, 0x455a14ed, 20);
        MD5_STEP_G(a, b, c, d, m13, 0xa9e3e905, 5);
        MD5_STEP_G(d, a, b, c, m2, 0xfcefa3f8, 9);
        MD5_STEP_G(c, d, a, b, m7, 0x676f02d9, 14);
        MD5_STEP_G(b, c, d, a, m12, 0x8d2a4c8a, 20);

        MD5_STEP_H(a, b, c, d, m5, 0xfffa3942, 4);
        MD5_STEP_H(d, a, b, c, m8, 0x8771f681, 11);
        MD5_STEP_H(c, d, a, b, m11, 0x6d9d6122, 16);
        MD5_STEP_H(b, c, d, a, m14, 0xfde5380c, 23);
        MD5_STEP_H(a, b, c, d, m1, 0xa4beea44, 4);
        MD5_STEP_H(d, a, b, c, m4, 0x4bdecfa9, 11);
        MD5_STEP_H(c, d, a, b, m7, 0xf6bb4b60, 16);
        MD5_STEP_H(b, c, d, a, m10, 0xbebfbc70, 23);
        MD5_STEP_H(a, b, c, d, m13, 0x289b7ec6, 4);
        MD5_STEP_H(d, a, b, c, m0, 0xeaa127fa, 11);
        MD5_STEP_H(c, d, a, b, m3, 0xd4ef3085, 16);
        MD5_STEP_H(b, c, d, a, m6, 0x04881d05, 23);
        MD5_STEP_H(a, b, c, d, m9, 0xd9d4d039, 4);
        MD5_STEP_H(d, a, b, c, m12, 0xe6db99e5, 11);
        MD5_STEP_H(c, d, a, b, m15, 0x1fa27cf8, 16);
        MD5_STEP_H(b, c, d, a, m2, 0xc4ac5665, 23);

        MD5_STEP_I(a, b, c, d, m0, 0xf4292244, 6);
        MD5_STEP_I(d, a, b, c, m7, 0x432aff97, 10);
        MD5_STEP_I(c, d, a, b, m14, 0xab9423a7, 15);
        MD5_STEP_I(b, c, d, a, m5, 0xfc93a039, 21);
        MD5_STEP_I(a, b, c, d, m12, 0x655b59c3, 6);
        MD5_STEP_I(d, a, b, c, m3, 0x8f0ccc92, 10);
        MD5_STEP_I(c, d, a, b, m10, 0xffeff47d, 15);
        MD5_STEP_I(b, c, d, a, m1, 0x85845dd1, 21);
        MD5_STEP_I(a, b, c, d, m8, 0x6fa87e4f, 6);
        MD5_STEP_I(d, a, b, c, m15, 0xfe2ce6e0, 10);
        MD5_STEP_I(c, d, a, b, m6, 0xa3014314, 15);
        MD5_STEP_I(b, c, d, a, m13, 0x4e0811a1, 21);
        MD5_STEP_I(a, b, c, d, m4, 0xf7537e82, 6);
        MD5_STEP_I(d, a, b, c, m11, 0xbd3af235, 10);
        MD5_STEP_I(c, d, a, b, m2, 0x2ad7d2bb, 15);
        MD5_STEP_I(b, c, d, a, m9, 0xeb86d391, 21);

        a += a0, b += b0, c += c0, d += d0;
    }
    state_[0] = a, state_[1] = b, state_[2] = c, state_[3] = d;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

void Md5::update(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    length_ += size;
    if (buffered_ > 0) {  // complete the block a previous call began
        const size_t n = size < 64 - buffered_ ? size : 64 - buffered_;
        std::memcpy(buffer_ + buffered_, p, n);
        buffered_ += n, p += n, size -= n;
        if (buffered_ < 64) return;
        blocks(buffer_, 1);
        buffered_ = 0;
    }
    blocks(p, size / 64);  // whole blocks straight from the caller's bytes
    p += size / 64 * 64, size %= 64;
    std::memcpy(buffer_, p, size);
    buffered_ = size;
}

std::string Md5::hexDigest() {
    const uint64_t bits = length_ * 8;
    uint8_t pad[72] = {0x80};  // 0x80, zeros up to 56 bytes mod 64, then the length in bits
    const size_t zeros = (buffered_ < 56 ? 56 : 120) - buffered_;
    for (int i = 0; i < 8; ++i) pad[zeros + i] = static_cast<uint8_t>(bits >> (8 * i));
    update(pad, zeros + 8);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint32_t word : state_)
        for (int i = 0; i < 4; ++i) {
            const uint8_t byte = static_cast<uint8_t>(word >> (8 * i));
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    return out;
}
