#include "tests/support/flic_writer.h"

#include <cassert>
#include <cstring>

void PutU16(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(Bytes& out, uint32_t value) {
    PutU16(out, value & 0xFFFF);
    PutU16(out, value >> 16);
}

namespace {

void SetU16(Bytes& out, size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void SetU32(Bytes& out, size_t at, uint32_t value) {
    SetU16(out, at, value & 0xFFFF);
    SetU16(out, at + 2, value >> 16);
}

Bytes Chunk(uint16_t type, const Bytes& body, size_t headerSize) {
    Bytes out;
    PutU32(out, static_cast<uint32_t>(headerSize + body.size()));
    PutU16(out, type);
    out.resize(headerSize, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Length of the run of equal bytes starting at `from`, at most `limit`.
int RunLength(const uint8_t* p, int from, int end, int limit) {
    int n = 1;
    while (from + n < end && n < limit && p[from + n] == p[from]) ++n;
    return n;
}

}  // namespace

Bytes EncodeColor(const std::vector<PalettePacket>& packets, bool sixBit) {
    Bytes out;
    PutU16(out, static_cast<uint32_t>(packets.size()));
    for (const PalettePacket& packet : packets) {
        out.push_back(packet.skip);
        out.push_back(static_cast<uint8_t>(packet.colors.size() & 0xFF));
        for (const Rgb& c : packet.colors) {
            const int shift = sixBit ? 2 : 0;
            out.push_back(static_cast<uint8_t>(c.r >> shift));
            out.push_back(static_cast<uint8_t>(c.g >> shift));
            out.push_back(static_cast<uint8_t>(c.b >> shift));
        }
    }
    return out;
}

Bytes EncodeByteRun(const Picture& picture) {
    Bytes out;
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* row = &picture.pixels[static_cast<size_t>(y) * picture.width];
        const size_t countAt = out.size();
        out.push_back(0);
        int packets = 0;
        for (int x = 0; x < picture.width;) {
            const int run = RunLength(row, x, picture.width, 127);
            if (run >= 3) {
                out.push_back(static_cast<uint8_t>(run));
                out.push_back(row[x]);
                x += run;
            } else {
                int n = 0;  // literal until the next run of three or 128 bytes
                while (x + n < picture.width && n < 128 && RunLength(row, x + n, picture.width, 3) < 3) ++n;
                if (n == 0) n = 1;
                out.push_back(static_cast<uint8_t>(-n));
                out.insert(out.end(), row + x, row + x + n);
                x += n;
            }
            ++packets;
        }
        out[countAt] = static_cast<uint8_t>(packets);  // overflows on wide rows, as in real files
    }
    return out;
}

Bytes EncodeDeltaFli(const Picture& previous, const Picture& current) {
    const int w = current.width;
    auto rowChanged = [&](int y) {
        return std::memcmp(&previous.pixels[static_cast<size_t>(y) * w], &current.pixels[static_cast<size_t>(y) * w], w) != 0;
    };
    int first = 0, last = current.height - 1;
    while (first < current.height && !rowChanged(first)) ++first;
    while (last >= first && !rowChanged(last)) --last;
    Bytes out;
    if (first > last) {
        PutU16(out, 0);
        PutU16(out, 0);
        return out;
    }
    PutU16(out, first);
    PutU16(out, last - first + 1);
    for (int y = first; y <= last; ++y) {
        const uint8_t* a = &previous.pixels[static_cast<size_t>(y) * w];
        const uint8_t* b = &current.pixels[static_cast<size_t>(y) * w];
        const size_t countAt = out.size();
        out.push_back(0);
        int packets = 0, x = 0;
        for (;;) {
            int skip = 0;
            while (x < w && a[x] == b[x]) ++x, ++skip;
            if (x >= w) break;
            while (skip > 255) {  // an empty literal packet moves the column on
                out.push_back(255);
                out.push_back(0);
                skip -= 255;
                ++packets;
            }
            int n = 0;
            while (x + n < w && n < 127 && a[x + n] != b[x + n]) ++n;
            out.push_back(static_cast<uint8_t>(skip));
            const int run = RunLength(b, x, x + n, 128);
            if (run == n && n >= 3) {
                out.push_back(static_cast<uint8_t>(-n));
                out.push_back(b[x]);
            } else {
                out.push_back(static_cast<uint8_t>(n));
                out.insert(out.end(), b + x, b + x + n);
            }
            x += n;
            ++packets;
        }
        assert(packets <= 255);
        out[countAt] = static_cast<uint8_t>(packets);
    }
    return out;
}

Bytes EncodeDeltaFlc(const Picture& previous, const Picture& current) {
    const int w = current.width;
    const int pairs = w / 2;
    Bytes out;
    PutU16(out, 0);  // rows with a packet count, filled in below
    int rows = 0, skipRows = 0;
    for (int y = 0; y < current.height; ++y) {
        const uint8_t* a = &previous.pixels[static_cast<size_t>(y) * w];
        const uint8_t* b = &current.pixels[static_cast<size_t>(y) * w];
        const bool lastChanged = (w & 1) && a[w - 1] != b[w - 1];
        if (std::memcmp(a, b, static_cast<size_t>(pairs) * 2) == 0 && !lastChanged) {
            ++skipRows;
            continue;
        }
        while (skipRows > 0) {
            const int n = skipRows > 16384 ? 16384 : skipRows;
            PutU16(out, static_cast<uint16_t>(-n));
            skipRows -= n;
        }
        if (lastChanged) PutU16(out, 0x8000u | b[w - 1]);
        const size_t countAt = out.size();
        PutU16(out, 0);
        int packets = 0, p = 0;
        auto same = [&](int i) { return a[2 * i] == b[2 * i] && a[2 * i + 1] == b[2 * i + 1]; };
        for (;;) {
            int skip = 0;
            while (p < pairs && same(p)) ++p, ++skip;
            if (p >= pairs) break;
            while (skip > 127) {  // an empty literal packet moves the column on
                out.push_back(254);
                out.push_back(0);
                skip -= 127;
                ++packets;
            }
            int n = 0;
            while (p + n < pairs && n < 127 && !same(p + n)) ++n;
            int run = 1;
            while (run < n && b[2 * (p + run)] == b[2 * p] && b[2 * (p + run) + 1] == b[2 * p + 1]) ++run;
            out.push_back(static_cast<uint8_t>(skip * 2));
            if (run == n && n >= 2) {
                out.push_back(static_cast<uint8_t>(-n));
                out.push_back(b[2 * p]);
                out.push_back(b[2 * p + 1]);
            } else {
                out.push_back(static_cast<uint8_t>(n));
                out.insert(out.end(), b + 2 * p, b + 2 * (p + n));
            }
            p += n;
            ++packets;
        }
        SetU16(out, countAt, packets);
        ++rows;
    }
    SetU16(out, 0, rows);
    return out;
}

FlicWriter::FlicWriter(uint16_t magic, int width, int height, uint32_t speed) : header_(128, 0), width_(width), height_(height) {
    SetU16(header_, 4, magic);
    SetU16(header_, 8, width);
    SetU16(header_, 10, height);
    SetU16(header_, 12, 8);
    SetU32(header_, 16, speed);
}

FlicWriter& FlicWriter::frameCountField(uint16_t frames) {
    frameCountOverride_ = frames;
    return *this;
}

FlicWriter& FlicWriter::firstFrameOffsetField(int32_t offset) {
    SetU32(header_, 80, static_cast<uint32_t>(offset));
    return *this;
}

FlicWriter& FlicWriter::prefixChunk(const Bytes& body) { return topChunk(0xF100, body); }

FlicWriter& FlicWriter::topChunk(uint16_t type, const Bytes& body) {
    closeFrame();
    const Bytes chunk = Chunk(type, body, 6);
    body_.insert(body_.end(), chunk.begin(), chunk.end());
    return *this;
}

FlicWriter& FlicWriter::frame() {
    closeFrame();
    inFrame_ = true;
    frameSubchunks_ = 0;
    frame_.clear();
    return *this;
}

FlicWriter& FlicWriter::subchunk(uint16_t type, const Bytes& data) {
    assert(inFrame_);
    const Bytes chunk = Chunk(type, data, 6);
    frame_.insert(frame_.end(), chunk.begin(), chunk.end());
    ++frameSubchunks_;
    return *this;
}

FlicWriter& FlicWriter::color256(const std::vector<PalettePacket>& packets) { return subchunk(4, EncodeColor(packets, false)); }
FlicWriter& FlicWriter::color64(const std::vector<PalettePacket>& packets) { return subchunk(11, EncodeColor(packets, true)); }
FlicWriter& FlicWriter::black() { return subchunk(13, {}); }
FlicWriter& FlicWriter::copy(const Picture& picture) { return subchunk(16, picture.pixels); }
FlicWriter& FlicWriter::byteRun(const Picture& picture) { return subchunk(15, EncodeByteRun(picture)); }
FlicWriter& FlicWriter::deltaFli(const Picture& previous, const Picture& current) {
    return subchunk(12, EncodeDeltaFli(previous, current));
}
FlicWriter& FlicWriter::deltaFlc(const Picture& previous, const Picture& current) {
    return subchunk(7, EncodeDeltaFlc(previous, current));
}

void FlicWriter::closeFrame() {
    if (!inFrame_) return;
    Bytes chunk;
    PutU32(chunk, static_cast<uint32_t>(16 + frame_.size()));
    PutU16(chunk, 0xF1FA);
    PutU16(chunk, frameSubchunks_);
    chunk.resize(16, 0);
    chunk.insert(chunk.end(), frame_.begin(), frame_.end());
    body_.insert(body_.end(), chunk.begin(), chunk.end());
    inFrame_ = false;
    ++frames_;
}

Bytes FlicWriter::finish() {
    closeFrame();
    Bytes out = header_;
    SetU16(out, 6, frameCountOverride_ >= 0 ? frameCountOverride_ : frames_);
    out.insert(out.end(), body_.begin(), body_.end());
    SetU32(out, 0, static_cast<uint32_t>(out.size()));
    return out;
}
