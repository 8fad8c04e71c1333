// GIF's LZW, both ways: the decoder that the reader runs over an image's
// data sub-blocks, and the encoder that the writer feeds with pixel values.
//
// Code widths. Both sides start at the minimum code size plus one bit, with
// the roots 0 .. 2^size - 1, the clear code 2^size and the end code
// 2^size + 1 in the table; every code after the first one (after a clear)
// adds an entry. The decoder can add an entry only when it reads the code
// after the one that made it, whose first byte ends the entry, so it is one
// entry behind the encoder: the decoder widens once its next free code
// reaches 2^width, the encoder once its own passes that (reaches
// 2^width + 1), and so both change width between the same two codes. The
// last code before the end code gets its entry from the decoder alone: the
// encoder widens for the end code where that entry reaches 2^width. Codes
// never grow past 12 bits. A decoder whose table is full (4096 codes) adds
// no more entries and reads 12-bit codes until a clear comes, however late,
// since an encoder may clear whenever it likes. Ours clears as soon as it has
// assigned code 4094, with a 12-bit clear code, so that no decoder's table
// ever fills up, and starts again at the minimum width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "formats/byte_reader.h"
#include "formats/byte_writer.h"

constexpr int kLzwMaxCodes = 4096;

// Passes over data sub-blocks up to and including their zero-length
// terminator (or the end of the file).
void SkipSubBlocks(ByteReader& in);

// ---- Decoding -----------------------------------------------------------------

// Codes, least significant bit first, from the data sub-blocks of one image.
// The data ends at a zero-length sub-block or at the end of the file.
class LzwCodeReader {
public:
    explicit LzwCodeReader(ByteReader& in) : in_(in) {}

    // The next code of `width` bits, or -1 when the data has ended.
    int read(int width) {
        while (count_ < width) {
            if (next_ == end_ && !nextSubBlock()) return -1;
            bits_ |= uint32_t{*next_++} << count_;
            count_ += 8;
        }
        const int code = static_cast<int>(bits_ & ((1u << width) - 1));
        bits_ >>= width;
        count_ -= width;
        return code;
    }

    // Passes over what is left of the data, up to and including its terminator.
    void finish();

private:
    bool nextSubBlock();

    ByteReader& in_;
    const uint8_t* next_ = nullptr;
    const uint8_t* end_ = nullptr;
    uint32_t bits_ = 0;
    int count_ = 0;
    bool ended_ = false;
};

// The string table. Each entry keeps its string's length, first byte and
// last chunk: the final 1 to 8 bytes, so that every chunk before it is whole
// and starts at a multiple of 8 bytes. `prefix` is the entry whose string is
// everything before that chunk. A string is written back to front, a chunk
// of 8 bytes at a time, and adding an entry copies one chunk.
struct LzwTable {
    uint8_t chunk[kLzwMaxCodes][8];
    uint16_t prefix[kLzwMaxCodes];
    uint16_t length[kLzwMaxCodes];
    uint8_t first[kLzwMaxCodes];
};

// Bytes of an entry's last chunk.
inline int LzwChunkSize(int length) { return ((length - 1) & 7) + 1; }

// Writes the first `count` bytes (1 .. its length) of the string of `code`
// at `out`, and no byte beyond them; returns the whole string's length.
inline int LzwStringPrefix(const LzwTable& table, int code, int count, uint8_t* out) {
    const int length = table.length[code];
    int end = length, size = LzwChunkSize(length);
    while (end - size >= count) {  // chunks wholly past `count`
        end -= size, size = 8;
        code = table.prefix[code];
    }
    end -= size;
    std::memcpy(out + end, table.chunk[code], static_cast<size_t>(count - end));
    while (end > 0) {
        end -= 8;
        code = table.prefix[code];
        std::memcpy(out + end, table.chunk[code], 8);
    }
    return length;
}

// Writes the string of `code`, its table.length[code] bytes, at `out`.
inline void LzwString(const LzwTable& table, int code, uint8_t* out) {
    LzwStringPrefix(table, code, table.length[code], out);
}

struct LzwDecoder {
    LzwTable* table;
    int minCodeSize;
    int width;
    int next;      // the next free code
    int previous;  // the code before, or -1 when the next one is a first code
};

// Starts decoding one image's codes into `table`; false for a minimum code
// size no data can have.
bool LzwDecodeStart(LzwDecoder& decoder, LzwTable& table, int minCodeSize);

// How a step of the decoder ended: with a code, or at one of the three ends
// of an image's data.
enum class LzwResult {
    kOk,       // `code` is the next one
    kEndCode,  // the end code: the data says it is complete
    kNoData,   // the data ran out before its end code
    kBadCode,  // damage: a first code (after a clear) without an entry
};

// The code whose string (in the decoder's table) comes next, clear codes
// taken on the way; `code` is set only with kOk.
LzwResult LzwDecodeNext(LzwDecoder& decoder, LzwCodeReader& codes, int& code);

// ---- Encoding -----------------------------------------------------------------

// Packed codes on their way out: bytes completed in `block` (0 to 254), bits
// used of the byte at `count` (0 to 7), whose unused bits are 0; a full block
// of 255 bytes goes out as one sub-block.
struct GifBitWriter {
    int count = 0;
    int bitPos = 0;
    uint8_t block[256] = {};
};

// The encoder between calls. Its table finds the code of a (prefix code,
// pixel value) pair by hashing, in 8192 slots of 32 bits (the pair above
// the code), small enough to stay in the fastest cache; after a clear only
// the slots assigned since the last clear are emptied.
//
// Runs of one value skip the table: the strings of a value repeated (v, vv,
// vvv, ...) are always in the table up to some length, and their codes are
// kept in order for each value, so that a run takes the longest of them at
// once. Each value's codes sit in a segment of a shared pool that doubles
// when full (4, 8, 16 ... places): a value with n codes has used fewer than
// 4n places, so the codes of one clear never need more than four places each.
constexpr int kLzwHashSlots = 8192;
constexpr int kLzwRunPool = 4 * kLzwMaxCodes;

struct LzwEncoder {
    ~LzwEncoder() { MemFree(table); }

    uint32_t* table = nullptr;        // kLzwHashSlots slots (all ones: empty), then the run pool of 16-bit codes
    uint16_t assigned[kLzwMaxCodes];  // the slot of each code given out since the last clear, or a run's
    uint16_t runStart[256];           // where each value's run codes begin in the pool
    uint16_t runCount[256];           // and how many there are: the codes of 2, 3, ... times the value
    uint16_t runRoom[256];            // and how many fit in its segment
    int runPoolUsed = 0;
    int codeSize = 0;
    int width = 0;
    int next = 0;
    int prefix = -1;  // the code of the pixels taken so far; none before the first
    int prefixRun = 0;  // when that is a run of one value, its length; else 0
    int runValue = 0;   // and the value
    GifBitWriter bits;
};

// Starts the data of one image whose pixel values are below 2^codeSize:
// writes the first clear code. False when the table cannot be allocated.
// An encoder used before keeps its table and resets only the entries it
// assigned, so that encoding many small images costs no more than their data.
bool LzwEncodeStart(LzwEncoder& encoder, int codeSize, ByteWriter& out);

// Takes the next `count` pixel values.
void LzwEncode(LzwEncoder& encoder, const uint8_t* pixels, size_t count, ByteWriter& out);

// Writes the last string and the end code, and the data's last sub-block
// (not the terminator).
void LzwEncodeFinish(LzwEncoder& encoder, ByteWriter& out);
