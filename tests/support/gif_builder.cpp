#include "tests/support/gif_builder.h"

#include <algorithm>
#include <cstring>
#include <map>

CodeStream& CodeStream::code(int value, int width) {
    bits_ |= static_cast<uint32_t>(value) << count_;
    count_ += width;
    while (count_ >= 8) {
        bytes_.push_back(static_cast<uint8_t>(bits_));
        bits_ >>= 8;
        count_ -= 8;
    }
    return *this;
}

Bytes CodeStream::bytes() const {
    Bytes out = bytes_;
    if (count_ > 0) out.push_back(static_cast<uint8_t>(bits_));
    return out;
}

namespace {

// Codes with the widths a decoder reads them at: it widens once its next
// free code, which every code but the first adds, reaches 2^width.
class DecoderWidths {
public:
    DecoderWidths(CodeStream& codes, int minCodeSize)
        : codes_(codes), minCodeSize_(minCodeSize) {
        clear();
    }
    void clear() {
        codes_.code(1 << minCodeSize_, width_);
        width_ = minCodeSize_ + 1, next_ = (1 << minCodeSize_) + 2, first_ = true;
    }
    void put(int code) {
        codes_.code(code, width_);
        if (first_) {
            first_ = false;
        } else if (next_ < 4096) {
            ++next_;
            if (next_ >= (1 << width_) && width_ < 12) ++width_;
        }
    }
    int width() const { return width_; }

private:
    CodeStream& codes_;
    int minCodeSize_;
    int width_ = minCodeSize_ + 1, next_ = 0;
    bool first_ = true;
};

}  // namespace

Bytes LiteralCodes(const std::vector<uint8_t>& pixels, int minCodeSize, int clearEvery) {
    CodeStream codes;
    DecoderWidths out(codes, minCodeSize);
    int sinceClear = 0;
    for (uint8_t p : pixels) {
        if (clearEvery > 0 && sinceClear == clearEvery) {
            out.clear();
            sinceClear = 0;
        }
        out.put(p);
        ++sinceClear;
    }
    codes.code((1 << minCodeSize) + 1, out.width());
    return codes.bytes();
}

Bytes LzwCodes(const std::vector<uint8_t>& pixels, int minCodeSize) {
    CodeStream codes;
    DecoderWidths out(codes, minCodeSize);
    std::map<std::pair<int, uint8_t>, int> table;
    int next = (1 << minCodeSize) + 2, prefix = -1;
    for (uint8_t p : pixels) {
        if (prefix < 0) {
            prefix = p;
            continue;
        }
        if (auto it = table.find({prefix, p}); it != table.end()) {
            prefix = it->second;
            continue;
        }
        out.put(prefix);
        if (next < 4096) table[{prefix, p}] = next++;
        prefix = p;
    }
    if (prefix >= 0) out.put(prefix);
    codes.code((1 << minCodeSize) + 1, out.width());
    return codes.bytes();
}

Bytes RunCodes(int64_t count, int minCodeSize) {
    CodeStream codes;
    DecoderWidths out(codes, minCodeSize);
    const int first = (1 << minCodeSize) + 2;  // the first code a string gets; its length is 2
    int next = first;
    for (int64_t done = 0; done < count;) {
        if (done == 0) {
            out.put(0);
            done = 1;
            continue;
        }
        const int code = std::min(next, 4095);
        out.put(code);
        done += code - first + 2;
        if (next < 4096) ++next;
    }
    codes.code((1 << minCodeSize) + 1, out.width());
    return codes.bytes();
}

Bytes SubBlocks(const Bytes& data, int blockSize) {
    Bytes out;
    for (size_t at = 0; at < data.size(); at += static_cast<size_t>(blockSize)) {
        const size_t n = std::min(data.size() - at, static_cast<size_t>(blockSize));
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
    }
    return out;
}

namespace {

int TableBits(size_t n) {
    int bits = 1;
    while ((size_t{1} << bits) < n) ++bits;
    return bits;
}

void PutTable(Bytes& out, const std::vector<Rgb>& colors, int bits) {
    for (int i = 0; i < (1 << bits); ++i) {
        const Rgb c = i < static_cast<int>(colors.size()) ? colors[static_cast<size_t>(i)] : Rgb{0, 0, 0};
        out.insert(out.end(), {c.r, c.g, c.b});
    }
}

// Data rows in file order for an interlaced image: passes from 0 step 8,
// from 4 step 8, from 2 step 4, from 1 step 2.
std::vector<uint8_t> Interlace(const std::vector<uint8_t>& pixels, int width, int height) {
    std::vector<uint8_t> out;
    const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = starts[pass]; y < height; y += steps[pass])
            out.insert(out.end(), pixels.begin() + static_cast<long>(y) * width, pixels.begin() + static_cast<long>(y + 1) * width);
    return out;
}

}  // namespace

GifBuilder::GifBuilder(int width, int height, const char* version) {
    out_.assign(version, version + 6);
    PutU16(out_, static_cast<uint32_t>(width));
    PutU16(out_, static_cast<uint32_t>(height));
    out_.resize(out_.size() + 3, 0);  // flags, background, aspect
}

GifBuilder& GifBuilder::globalTable(const std::vector<Rgb>& colors, int backgroundIndex) {
    const int bits = TableBits(colors.size());
    out_[10] = static_cast<uint8_t>(0x80 | ((bits - 1) << 4) | (bits - 1));
    out_[11] = static_cast<uint8_t>(backgroundIndex);
    PutTable(out_, colors, bits);
    return *this;
}

GifBuilder& GifBuilder::control(int disposal, int delay, int transparentIndex) {
    out_.insert(out_.end(), {0x21, 0xF9, 0x04});
    out_.push_back(static_cast<uint8_t>((disposal << 2) | (transparentIndex >= 0 ? 1 : 0)));
    PutU16(out_, static_cast<uint32_t>(delay));
    out_.push_back(static_cast<uint8_t>(transparentIndex >= 0 ? transparentIndex : 0));
    out_.push_back(0);
    return *this;
}

GifBuilder& GifBuilder::comment(const std::vector<Bytes>& subBlocks) {
    out_.insert(out_.end(), {0x21, 0xFE});
    for (const Bytes& b : subBlocks) {
        out_.push_back(static_cast<uint8_t>(b.size()));
        out_.insert(out_.end(), b.begin(), b.end());
    }
    out_.push_back(0);
    return *this;
}

GifBuilder& GifBuilder::loopExtension() {
    const char* id = "NETSCAPE2.0";
    out_.insert(out_.end(), {0x21, 0xFF, 11});
    out_.insert(out_.end(), id, id + 11);
    out_.insert(out_.end(), {3, 1, 0, 0, 0});
    return *this;
}

GifBuilder& GifBuilder::image(const GifImage& image) {
    out_.push_back(0x2C);
    PutU16(out_, static_cast<uint32_t>(image.left));
    PutU16(out_, static_cast<uint32_t>(image.top));
    PutU16(out_, static_cast<uint32_t>(image.width));
    PutU16(out_, static_cast<uint32_t>(image.height));
    uint8_t packed = image.interlaced ? 0x40 : 0;
    const int bits = image.localTable.empty() ? 0 : TableBits(image.localTable.size());
    if (bits) packed |= static_cast<uint8_t>(0x80 | (bits - 1));
    out_.push_back(packed);
    if (bits) PutTable(out_, image.localTable, bits);
    out_.push_back(static_cast<uint8_t>(image.minCodeSize));
    Bytes data = image.data;
    if (data.empty()) {
        const std::vector<uint8_t> ordered =
            image.interlaced ? Interlace(image.pixels, image.width, image.height) : image.pixels;
        data = LiteralCodes(ordered, image.minCodeSize);
    }
    const Bytes blocks = SubBlocks(data);
    out_.insert(out_.end(), blocks.begin(), blocks.end());
    if (image.terminator) out_.push_back(0);
    return *this;
}

GifBuilder& GifBuilder::raw(const Bytes& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes GifBuilder::finish(bool trailer) {
    Bytes out = out_;
    if (trailer) out.push_back(0x3B);
    return out;
}

std::vector<Rgb> TestColors(int n) {
    std::vector<Rgb> colors;
    for (int i = 0; i < n; ++i)
        colors.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
    return colors;
}
