#include "codecs/gif_lzw.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kMaxWidth = 12;
constexpr int kLastCode = 4095;  // the encoder clears once it has assigned the code before
constexpr int kSubBlockSize = 255;

void EmitBlock(ByteWriter& out, const uint8_t* bytes, int count) {
    out.u8(static_cast<uint32_t>(count));
    out.write(bytes, static_cast<size_t>(count));
}

void PutCode(GifBitWriter& w, ByteWriter& out, int code, int width) {
    uint32_t bits = w.block[w.count] | (static_cast<uint32_t>(code) << w.bitPos);
    int pending = w.bitPos + width;
    while (pending >= 8) {
        w.block[w.count] = static_cast<uint8_t>(bits);
        bits >>= 8;
        pending -= 8;
        if (++w.count == kSubBlockSize) {
            EmitBlock(out, w.block, kSubBlockSize);
            w.count = 0;
        }
    }
    w.block[w.count] = static_cast<uint8_t>(bits);  // the unused bits stay 0
    w.bitPos = pending;
}

}  // namespace

void SkipSubBlocks(ByteReader& in) {
    while (!in.atEnd()) {
        const uint8_t length = in.u8();
        if (length == 0) return;
        in.skip(length);
    }
}

void LzwCodeReader::finish() {
    if (!ended_) SkipSubBlocks(in_);
    ended_ = true;
}

bool LzwCodeReader::nextSubBlock() {
    if (ended_ || in_.atEnd()) return ended_ = true, false;
    const size_t length = in_.u8();
    const size_t available = std::min(length, in_.remaining());
    if (available == 0) return ended_ = true, false;
    next_ = in_.take(available);
    end_ = next_ + available;
    return true;
}

bool LzwDecodeStart(LzwDecoder& decoder, LzwTable& table, int minCodeSize) {
    // Code sizes up to 11 leave room for the clear and end codes within 12
    // bits; real files use sizes above 8 for few colours (roots past 255 are
    // no colour of any table and keep only their low byte).
    if (minCodeSize < 1 || minCodeSize > 11) return false;
    const int clear = 1 << minCodeSize;
    for (int i = 0; i < clear; ++i) {
        table.prefix[i] = 0;
        table.length[i] = 1;
        table.first[i] = static_cast<uint8_t>(i);
        table.chunk[i][0] = static_cast<uint8_t>(i);
    }
    decoder = {&table, minCodeSize, minCodeSize + 1, clear + 2, -1};
    return true;
}

LzwResult LzwDecodeNext(LzwDecoder& d, LzwCodeReader& codes, int& out) {
    LzwTable& table = *d.table;
    const int clear = 1 << d.minCodeSize;
    const int endCode = clear + 1;
    for (;;) {
        const int code = codes.read(d.width);
        if (code < 0) return LzwResult::kNoData;
        if (code == endCode) return LzwResult::kEndCode;
        if (code == clear) {
            d.width = d.minCodeSize + 1;
            d.next = clear + 2;
            d.previous = -1;
            continue;
        }
        if (d.previous < 0) {
            if (code > endCode) return LzwResult::kBadCode;  // no entry is defined there yet
            out = d.previous = code;
            return LzwResult::kOk;
        }
        int current = code;
        if (d.next < kLzwMaxCodes) {
            // A code not yet in the table stands for the previous string
            // followed by its own first byte: the entry being added.
            const int previous = d.previous, next = d.next;
            const int length = table.length[previous];
            const uint8_t last = code < next ? table.first[code] : table.first[previous];
            if (length % 8 == 0) {  // the previous string's chunks are whole: a new one starts
                table.prefix[next] = static_cast<uint16_t>(previous);
                table.chunk[next][0] = last;
            } else {
                table.prefix[next] = table.prefix[previous];
                std::memcpy(table.chunk[next], table.chunk[previous], 8);
                table.chunk[next][length % 8] = last;
            }
            table.first[next] = table.first[previous];
            table.length[next] = static_cast<uint16_t>(length + 1);
            if (code >= next) current = next;
            d.next = next + 1;
            if (d.next >= (1 << d.width) && d.width < kMaxWidth) ++d.width;
        }
        out = d.previous = current;
        return LzwResult::kOk;
    }
}

namespace {

constexpr uint32_t kEmptySlot = 0xFFFFFFFF;  // no pair: prefix 4095 is never assigned
constexpr uint16_t kRunSlot = 0xFFFF;        // a code of a run, not in the hashed slots

uint16_t* RunPool(LzwEncoder& e) { return reinterpret_cast<uint16_t*>(e.table + kLzwHashSlots); }

void ForgetRuns(LzwEncoder& e) {
    std::fill(e.runCount, e.runCount + 256, 0);
    std::fill(e.runRoom, e.runRoom + 256, 0);
    e.runPoolUsed = 0;
}

// Forgets the codes assigned since the last clear.
void Forget(LzwEncoder& e, int next) {
    for (int code = (1 << e.codeSize) + 2; code < next; ++code)
        if (e.assigned[code] != kRunSlot) e.table[e.assigned[code]] = kEmptySlot;
    ForgetRuns(e);
}

uint32_t FirstSlot(uint32_t pair) { return (pair * 2654435761u) >> (32 - 13); }

// The code of the run of `length` times `value`, which the table holds.
int RunCode(LzwEncoder& e, int value, int length) {
    return length == 1 ? value : RunPool(e)[e.runStart[value] + length - 2];
}

// Keeps `code` as that of the run one longer than the longest of `value`.
void AddRun(LzwEncoder& e, int value, int code) {
    uint16_t* pool = RunPool(e);
    if (e.runCount[value] == e.runRoom[value]) {
        const int room = e.runRoom[value] ? 2 * e.runRoom[value] : 4;
        std::memcpy(pool + e.runPoolUsed, pool + e.runStart[value], size_t{e.runCount[value]} * sizeof(uint16_t));
        e.runStart[value] = static_cast<uint16_t>(e.runPoolUsed);
        e.runRoom[value] = static_cast<uint16_t>(room);
        e.runPoolUsed += room;
    }
    pool[e.runStart[value] + e.runCount[value]++] = static_cast<uint16_t>(code);
}

}  // namespace

bool LzwEncodeStart(LzwEncoder& e, int codeSize, ByteWriter& out) {
    static_assert(kLzwHashSlots == 1 << 13, "FirstSlot takes 13 bits");
    if (e.table) {
        Forget(e, e.next);
    } else {
        const size_t bytes = kLzwHashSlots * sizeof(uint32_t) + kLzwRunPool * sizeof(uint16_t);
        e.table = static_cast<uint32_t*>(MemAlloc(bytes));
        if (!e.table) return false;
        std::memset(e.table, 0xFF, kLzwHashSlots * sizeof(uint32_t));
        ForgetRuns(e);
    }
    e.codeSize = codeSize;
    e.width = codeSize + 1;
    e.next = (1 << codeSize) + 2;
    e.prefix = -1;
    e.prefixRun = 0;
    e.bits.count = e.bits.bitPos = 0;
    e.bits.block[0] = 0;
    PutCode(e.bits, out, 1 << codeSize, e.width);
    return true;
}

void LzwEncode(LzwEncoder& e, const uint8_t* pixels, size_t count, ByteWriter& out) {
    const int clear = 1 << e.codeSize;
    uint32_t* const table = e.table;
    int prefix = e.prefix, next = e.next, width = e.width, run = e.prefixRun, value = e.runValue;
    size_t i = 0;
    if (prefix < 0 && count > 0) prefix = value = pixels[i++], run = 1;
    // The string of the prefix and `pixel` is new: it gets the next code, the
    // prefix goes out and the pixel starts the next string.
    auto assign = [&](uint8_t pixel, uint16_t slot) {
        e.assigned[next] = slot;
        ++next;
        PutCode(e.bits, out, prefix, width);
        if (next == (1 << width) + 1) ++width;
        if (next == kLastCode) {
            PutCode(e.bits, out, clear, width);
            Forget(e, next);
            next = clear + 2;
            width = e.codeSize + 1;
        }
        prefix = value = pixel;
        run = 1;
    };
    while (i < count) {
        const uint8_t pixel = pixels[i];
        if (run > 0 && pixel == value) {
            // The pixels of the run, up to one past those that the longest
            // run in the table takes.
            const int longest = 1 + e.runCount[value];
            const size_t wanted = size_t(longest - run) + 1;
            size_t n = 1;
            while (n < wanted && i + n < count && pixels[i + n] == value) ++n;
            if (n < wanted) {
                run += static_cast<int>(n);
                prefix = RunCode(e, value, run);
                i += n;
                continue;
            }
            i += n - 1;
            prefix = RunCode(e, value, longest);
            AddRun(e, value, next);
            assign(pixel, kRunSlot);
            ++i;
            continue;
        }
        const uint32_t pair = static_cast<uint32_t>(prefix) << 8 | pixel;
        uint32_t slot = FirstSlot(pair);
        uint32_t entry;
        while ((entry = table[slot]) != kEmptySlot && entry >> 12 != pair) slot = (slot + 1) & (kLzwHashSlots - 1);
        ++i;
        if (entry != kEmptySlot) {
            prefix = static_cast<int>(entry & 0xFFF);
            run = 0;
            continue;
        }
        table[slot] = pair << 12 | static_cast<uint32_t>(next);
        assign(pixel, static_cast<uint16_t>(slot));
    }
    e.prefix = prefix, e.next = next, e.width = width, e.prefixRun = run, e.runValue = value;
}

void LzwEncodeFinish(LzwEncoder& e, ByteWriter& out) {
    if (e.prefix >= 0) {
        PutCode(e.bits, out, e.prefix, e.width);
        // The decoder adds an entry for this last code, which the encoder
        // never assigns: when that entry reaches the next width, the decoder
        // reads the end code one bit wider.
        if (e.next > (1 << e.codeSize) + 2 && e.next == (1 << e.width) && e.width < kMaxWidth) ++e.width;
    }
    PutCode(e.bits, out, (1 << e.codeSize) + 1, e.width);
    const int count = e.bits.count + (e.bits.bitPos > 0 ? 1 : 0);
    if (count > 0) EmitBlock(out, e.bits.block, count);
    e.bits.count = e.bits.bitPos = 0;
}
