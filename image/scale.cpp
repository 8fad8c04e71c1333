#include "image/scale.h"

#include <algorithm>
#include <new>
#include <vector>

#include "image/convert.h"

ImageSize ImageFitSize(int width, int height, int boxWidth, int boxHeight) {
    if (width < 1 || height < 1 || boxWidth < 1 || boxHeight < 1) return {0, 0};
    if (width <= boxWidth && height <= boxHeight) return {width, height};
    const int64_t w = width, h = height;
    // The side that reaches its edge of the box first sets the scale.
    if (w * boxHeight >= h * boxWidth)
        return {boxWidth, static_cast<int>(std::max<int64_t>(1, (h * boxWidth + w / 2) / w))};
    return {static_cast<int>(std::max<int64_t>(1, (w * boxHeight + h / 2) / h)), boxHeight};
}

namespace {

// Along an axis, output pixels that cover up to this many source pixels
// average every one they cover; wider ones average kSamples evenly spaced
// samples, so that the work per output pixel stays bounded however large
// the source is.
constexpr uint64_t kExactSpan = 4;
constexpr int kSamples = 4;

// The 24-bit colours (blue + green * 256 + red * 65536) of a row's pixels at
// any depth: 8, 24 and 32 bits read straight from the row, the others through
// the image's accessor.
class ColorReader {
public:
    explicit ColorReader(const Image* image) : image_(image), depth_(ImageBitCount(image)) {
        if (depth_ > 8) return;
        // Values past the image's colour table show black.
        const int count = std::min(1 << depth_, ImageColorTableSize(image) / 4);
        for (int i = 0; i < count; ++i) table_[i] = Entry(i);
    }
    void setRow(int y) {
        y_ = y;
        row_ = ImageRow(image_, y);
    }
    uint32_t operator()(int x) const {
        switch (depth_) {
            case 8: return table_[row_[x]];
            case 24: return row_[3 * x] | (uint32_t{row_[3 * x + 1]} << 8) | (uint32_t{row_[3 * x + 2]} << 16);
            case 32: return row_[4 * x] | (uint32_t{row_[4 * x + 1]} << 8) | (uint32_t{row_[4 * x + 2]} << 16);
            case 16: return Rgb555To24(ImageGetPixel(image_, x, y_));
            default: return table_[ImageGetPixel(image_, x, y_) & 0xFF];
        }
    }

private:
    uint32_t Entry(int index) const {
        const RgbQuad* q = ImageColorTable(image_, index);
        return q->rgbBlue | (uint32_t{q->rgbGreen} << 8) | (uint32_t{q->rgbRed} << 16);
    }

    const Image* image_;
    int depth_;
    int y_ = 0;
    const uint8_t* row_ = nullptr;
    uint32_t table_[256] = {};
};

// How output pixels along an axis draw on the source: each one's taps
// (source pixel, weight), its weights adding up to `total`.
struct Axis {
    struct Tap {
        int source;
        uint32_t weight;
    };
    std::vector<size_t> begin;  // of each output pixel's taps, and one past the last
    std::vector<Tap> taps;
    uint64_t total = 0;
};

// Output pixels [from, from + count) of `out` over `in` source pixels. In
// units where a source pixel is `out` long and an output pixel `in` long,
// output pixel i spans [i * in, (i + 1) * in) and source pixel s spans
// [s * out, (s + 1) * out); an averaged source pixel weighs as much as the
// two overlap. A sample is the source pixel at the middle of one of
// kSamples equal parts of the span.
Axis MakeAxis(int in, int out, int from, int count) {
    Axis axis;
    const uint64_t n = uint64_t(in), m = uint64_t(out);
    const bool exact = n <= m * kExactSpan;
    axis.total = exact ? n : kSamples;
    axis.begin.reserve(static_cast<size_t>(count) + 1);
    for (int i = from; i < from + count; ++i) {
        axis.begin.push_back(axis.taps.size());
        const uint64_t start = uint64_t(i) * n, end = start + n;
        if (!exact) {
            for (int k = 0; k < kSamples; ++k) {
                const uint64_t at = (start * 2 * kSamples + (2 * k + 1) * n) / (2 * kSamples * m);
                axis.taps.push_back({static_cast<int>(at), 1});
            }
            continue;
        }
        for (uint64_t s = start / m; s * m < end; ++s) {
            const uint64_t lo = std::max(start, s * m), hi = std::min(end, (s + 1) * m);
            axis.taps.push_back({static_cast<int>(s), static_cast<uint32_t>(hi - lo)});
        }
    }
    axis.begin.push_back(axis.taps.size());
    return axis;
}

}  // namespace

Image* ImageScaleArea(const Image* source, int width, int height) {
    return ImageScaleAreaPart(source, width, height, ImageRect{0, 0, width, height});
}

Image* ImageScaleAreaPart(const Image* source, int width, int height, ImageRect part) {
    if (!source || width < 1 || height < 1 || width > kImageMaxDimension || height > kImageMaxDimension) return nullptr;
    if (part.left < 0 || part.top < 0 || part.right > width || part.bottom > height || part.left >= part.right ||
        part.top >= part.bottom)
        return nullptr;
    const int partWidth = part.right - part.left, partHeight = part.bottom - part.top;
    Image* result = ImageCreate(partWidth, partHeight, 24);
    if (!result) return nullptr;

    // The axes and the sums grow with the size: where they find no memory
    // there is no picture, as where the image finds none.
    try {
        const Axis columns = MakeAxis(ImageWidth(source), width, part.left, partWidth);
        const Axis rows = MakeAxis(ImageHeight(source), height, part.top, partHeight);
        ColorReader colorAt(source);
        // Sums stay below 255 * 65535^2 per channel: 64 bits hold them.
        const uint64_t total = columns.total * rows.total;
        std::vector<uint64_t> sums(static_cast<size_t>(partWidth) * 3);
        for (int y = 0; y < partHeight; ++y) {
            std::fill(sums.begin(), sums.end(), 0);
            for (size_t r = rows.begin[static_cast<size_t>(y)]; r < rows.begin[static_cast<size_t>(y) + 1]; ++r) {
                const Axis::Tap row = rows.taps[r];
                colorAt.setRow(row.source);
                for (int x = 0; x < partWidth; ++x) {
                    uint64_t* sum = &sums[static_cast<size_t>(x) * 3];
                    for (size_t c = columns.begin[static_cast<size_t>(x)]; c < columns.begin[static_cast<size_t>(x) + 1]; ++c) {
                        const Axis::Tap column = columns.taps[c];
                        const uint32_t color = colorAt(column.source);
                        const uint64_t weight = uint64_t(column.weight) * row.weight;
                        sum[0] += weight * (color & 0xFF);
                        sum[1] += weight * ((color >> 8) & 0xFF);
                        sum[2] += weight * (color >> 16);
                    }
                }
            }
            uint8_t* out = ImageRow(result, y);
            for (size_t i = 0; i < sums.size(); ++i) out[i] = static_cast<uint8_t>((sums[i] + total / 2) / total);
        }
    } catch (const std::bad_alloc&) {
        ImageDestroy(result);
        return nullptr;
    }
    return result;
}
