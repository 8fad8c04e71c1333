#include "image/scale.h"

#include <algorithm>
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

// The 24-bit colour (blue + green * 256 + red * 65536) of a pixel at any depth.
uint32_t ColorAt(const Image* image, int depth, int x, int y) {
    if (depth <= 8) return ImageColorAt(image, x, y) & 0xFFFFFF;
    const uint32_t v = ImageGetPixel(image, x, y);
    return depth == 16 ? Rgb555To24(v) : v & 0xFFFFFF;
}

// How one output pixel along an axis draws on the source: in units where a
// source pixel is `out` long and an output pixel `in` long, output pixel i
// spans [i * in, (i + 1) * in) and source pixel s spans [s * out, (s + 1) * out);
// a source pixel weighs as much as the two overlap, so the weights of one
// output pixel add up to `in`.
struct Span {
    int first;                     // first source pixel
    std::vector<uint32_t> weights;  // of first, first + 1, ...
};

std::vector<Span> Spans(int in, int out) {
    std::vector<Span> spans(static_cast<size_t>(out));
    for (int i = 0; i < out; ++i) {
        const uint64_t start = uint64_t(i) * uint64_t(in), end = start + uint64_t(in);
        Span& span = spans[static_cast<size_t>(i)];
        span.first = static_cast<int>(start / uint64_t(out));
        for (uint64_t s = uint64_t(span.first); s * uint64_t(out) < end; ++s) {
            const uint64_t from = std::max(start, s * uint64_t(out)), to = std::min(end, (s + 1) * uint64_t(out));
            span.weights.push_back(static_cast<uint32_t>(to - from));
        }
    }
    return spans;
}

}  // namespace

Image* ImageScaleArea(const Image* source, int width, int height) {
    if (!source || width < 1 || height < 1 || width > kImageMaxDimension || height > kImageMaxDimension) return nullptr;
    const int sourceWidth = ImageWidth(source), sourceHeight = ImageHeight(source);
    const int depth = ImageBitCount(source);
    Image* result = ImageCreate(width, height, 24);
    if (!result) return nullptr;

    const std::vector<Span> columns = Spans(sourceWidth, width), rows = Spans(sourceHeight, height);
    // Sums stay below 255 * 65535^2 per channel: 64 bits hold them.
    const uint64_t total = uint64_t(sourceWidth) * uint64_t(sourceHeight);
    std::vector<uint32_t> line(static_cast<size_t>(sourceWidth));
    std::vector<uint64_t> sums(static_cast<size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        const Span& row = rows[static_cast<size_t>(y)];
        for (size_t r = 0; r < row.weights.size(); ++r) {
            const int sy = row.first + static_cast<int>(r);
            for (int sx = 0; sx < sourceWidth; ++sx) line[static_cast<size_t>(sx)] = ColorAt(source, depth, sx, sy);
            for (int x = 0; x < width; ++x) {
                const Span& column = columns[static_cast<size_t>(x)];
                uint64_t* sum = &sums[static_cast<size_t>(x) * 3];
                for (size_t c = 0; c < column.weights.size(); ++c) {
                    const uint32_t color = line[static_cast<size_t>(column.first) + c];
                    const uint64_t weight = uint64_t(column.weights[c]) * row.weights[r];
                    sum[0] += weight * (color & 0xFF);
                    sum[1] += weight * ((color >> 8) & 0xFF);
                    sum[2] += weight * (color >> 16);
                }
            }
        }
        uint8_t* out = ImageRow(result, y);
        for (size_t i = 0; i < sums.size(); ++i) out[i] = static_cast<uint8_t>((sums[i] + total / 2) / total);
    }
    return result;
}
