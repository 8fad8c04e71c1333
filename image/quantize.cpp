#include "image/quantize.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "image/convert.h"
#include "image/work_meter.h"

namespace {

// Channel weights of the colour distance: red, green, blue.
constexpr int kWeight[3] = {3, 4, 2};
constexpr int kKMeansPasses = 5;
constexpr int kCacheBits = 16;

// Counts work on the meter, when there is one; false once it has stopped.
bool Spend(WorkMeter* work, uint64_t units) { return !work || work->spend(units); }

int Red(uint32_t c) { return static_cast<int>((c >> 16) & 255); }
int Green(uint32_t c) { return static_cast<int>((c >> 8) & 255); }
int Blue(uint32_t c) { return static_cast<int>(c & 255); }

int Distance(int dr, int dg, int db) { return kWeight[0] * dr * dr + kWeight[1] * dg * dg + kWeight[2] * db * db; }

uint32_t EntryColor(const PaletteEntry& e) { return uint32_t{e.red} << 16 | uint32_t{e.green} << 8 | e.blue; }

// A small open-addressing set of colours with counts, for counting up to a
// limit; its size is fixed by the limit, so it never grows with the picture.
class ColorCounter {
public:
    explicit ColorCounter(int limit) : limit_(limit) {
        size_t size = 16;
        while (size < static_cast<size_t>(limit) * 4) size *= 2;
        keys_.assign(size, 0);
        counts_.assign(size, 0);
    }
    // False once more than `limit` colours have been seen.
    bool add(uint32_t color, uint64_t n) {
        const uint32_t key = color + 1;
        const size_t mask = keys_.size() - 1;
        for (size_t at = (key * 2654435761u) & mask;; at = (at + 1) & mask) {
            if (keys_[at] == key) {
                counts_[at] += n;
                return true;
            }
            if (keys_[at] == 0) {
                if (++used_ > limit_) return false;
                keys_[at] = key;
                counts_[at] = n;
                return true;
            }
        }
    }
    void collect(std::vector<ColorCount>* out) const {
        out->clear();
        for (size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i]) out->push_back({keys_[i] - 1, counts_[i]});
        std::sort(out->begin(), out->end(), [](const ColorCount& a, const ColorCount& b) {
            return a.count != b.count ? a.count > b.count : a.color < b.color;
        });
    }

private:
    int limit_;
    int used_ = 0;
    std::vector<uint32_t> keys_;
    std::vector<uint64_t> counts_;
};

// ---- Boxes of histogram cells ---------------------------------------------------

struct BoxStats {
    double count = 0, sum[3] = {}, square[3] = {};
    void add(const ColorHistogram::Cell& c, const double squares[3]) {
        count += static_cast<double>(c.count);
        for (int k = 0; k < 3; ++k) sum[k] += static_cast<double>(c.sum[k]), square[k] += squares[k];
    }
    void remove(const BoxStats& other) {
        count -= other.count;
        for (int k = 0; k < 3; ++k) sum[k] -= other.sum[k], square[k] -= other.square[k];
    }
    // The weighted sum of squared distances from the box mean.
    double error() const {
        if (count <= 0) return 0;
        double e = 0;
        for (int k = 0; k < 3; ++k) e += kWeight[k] * (square[k] - sum[k] * sum[k] / count);
        return std::max(e, 0.0);
    }
};

// A histogram cell with its mean colour; `square` approximates each channel's
// sum of squares by the mean's (the spread inside one 4-level cell is small).
struct Point {
    ColorHistogram::Cell cell;
    int mean[3];
    double square[3];
};

struct Box {
    size_t begin, end;
    BoxStats stats;
    double error;
};

BoxStats StatsOf(const std::vector<Point>& points, size_t begin, size_t end) {
    BoxStats s;
    for (size_t i = begin; i < end; ++i) s.add(points[i].cell, points[i].square);
    return s;
}

// Splits a box of two or more points at the cut of least total error over
// the three axes; the points are left sorted along the chosen axis. The index
// of the first point of the second half.
size_t SplitBox(std::vector<Point>& points, const Box& box) {
    // Three sorts and three sweeps of the box.
    double bestError = -1;
    int bestAxis = 0;
    size_t bestCut = box.begin + 1;
    for (int axis = 0; axis < 3; ++axis) {
        std::sort(points.begin() + static_cast<long>(box.begin), points.begin() + static_cast<long>(box.end),
                  [axis](const Point& a, const Point& b) { return a.mean[axis] < b.mean[axis]; });
        BoxStats left;
        for (size_t i = box.begin; i + 1 < box.end; ++i) {
            left.add(points[i].cell, points[i].square);
            if (points[i].mean[axis] == points[i + 1].mean[axis]) continue;
            BoxStats right = box.stats;
            right.remove(left);
            const double e = left.error() + right.error();
            if (bestError < 0 || e < bestError) bestError = e, bestAxis = axis, bestCut = i + 1;
        }
    }
    if (bestAxis != 2)
        std::sort(points.begin() + static_cast<long>(box.begin), points.begin() + static_cast<long>(box.end),
                  [bestAxis](const Point& a, const Point& b) { return a.mean[bestAxis] < b.mean[bestAxis]; });
    return bestCut;
}

// The colours of the points refined by k-means passes from `palette`.
bool RefineKMeans(const std::vector<Point>& points, PaletteEntry* palette, int count, WorkMeter* work) {
    std::vector<uint64_t> sums(static_cast<size_t>(count) * 4);
    for (int pass = 0; pass < kKMeansPasses; ++pass) {
        if (!Spend(work, points.size() * 4)) return false;
        std::fill(sums.begin(), sums.end(), 0);
        PaletteMatcher matcher(palette, count);
        for (const Point& p : points) {
            const uint32_t color = uint32_t(p.mean[0]) << 16 | uint32_t(p.mean[1]) << 8 | uint32_t(p.mean[2]);
            uint64_t* s = &sums[static_cast<size_t>(matcher.nearest(color)) * 4];
            s[0] += p.cell.count;
            for (int k = 0; k < 3; ++k) s[k + 1] += p.cell.sum[k];
        }
        bool moved = false;
        for (int i = 0; i < count; ++i) {
            const uint64_t* s = &sums[static_cast<size_t>(i) * 4];
            if (s[0] == 0) continue;  // an entry no colour chose keeps its place
            const PaletteEntry next{uint8_t((s[1] + s[0] / 2) / s[0]), uint8_t((s[2] + s[0] / 2) / s[0]),
                                    uint8_t((s[3] + s[0] / 2) / s[0]), 0};
            moved = moved || std::memcmp(&next, &palette[i], sizeof next) != 0;
            palette[i] = next;
        }
        if (!moved) return true;
    }
    return true;
}

// The error of mapping `color` onto `q`, in plain RGB.
uint32_t SquaredError(uint32_t color, uint32_t q) {
    const int dr = Red(color) - Red(q), dg = Green(color) - Green(q), db = Blue(color) - Blue(q);
    return static_cast<uint32_t>(dr * dr + dg * dg + db * db);
}

int Clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

void MapRowPlain(const uint32_t* colors, int width, PaletteMatcher& matcher, const uint32_t* entries, uint8_t* out,
                 uint64_t* error) {
    for (int x = 0; x < width; ++x) {
        const int index = matcher.nearest(colors[x]);
        out[x] = static_cast<uint8_t>(index);
        *error += SquaredError(colors[x], entries[index]);
    }
}

// Floyd-Steinberg on one row, left to right on even rows and right to left
// on odd ones; `here` holds the error carried into this row and receives
// none, `below` gathers the next row's (both width + 2 wide, in 1/16ths).
void MapRowDithered(const uint32_t* colors, int width, bool reverse, PaletteMatcher& matcher, const uint32_t* entries,
                    std::vector<int>& here, std::vector<int>& below, uint8_t* out, uint64_t* error) {
    std::fill(below.begin(), below.end(), 0);
    const int step = reverse ? -1 : 1;
    for (int i = 0; i < width; ++i) {
        const int x = reverse ? width - 1 - i : i;
        // Columns x - 1, x and x + 1 of the error rows, which have one column
        // of margin on either side.
        const size_t behind = static_cast<size_t>(x + 1 - step) * 3, at = static_cast<size_t>(x + 1) * 3,
                     ahead = static_cast<size_t>(x + 1 + step) * 3;
        int got[3] = {Red(colors[x]), Green(colors[x]), Blue(colors[x])};
        for (size_t k = 0; k < 3; ++k) got[k] = Clamp255(got[k] + (here[at + k] + (here[at + k] >= 0 ? 8 : -8)) / 16);
        const int index = matcher.nearest(uint32_t(got[0]) << 16 | uint32_t(got[1]) << 8 | uint32_t(got[2]));
        out[x] = static_cast<uint8_t>(index);
        *error += SquaredError(colors[x], entries[index]);
        const uint32_t q = entries[index];
        const int chosen[3] = {Red(q), Green(q), Blue(q)};
        for (size_t k = 0; k < 3; ++k) {
            const int e = got[k] - chosen[k];
            here[ahead + k] += e * 7;
            below[behind + k] += e * 3;
            below[at + k] += e * 5;
            below[ahead + k] += e;
        }
    }
    std::swap(here, below);
}

}  // namespace

int ColorDistance(uint32_t a, uint32_t b) { return Distance(Red(a) - Red(b), Green(a) - Green(b), Blue(a) - Blue(b)); }

void ImageRowColors(const Image* image, int y, uint32_t* out) {
    const int width = ImageWidth(image);
    const int depth = ImageBitCount(image);
    const uint8_t* row = ImageRow(image, y);
    switch (depth) {
        case 24:
            for (int x = 0; x < width; ++x, row += 3) out[x] = row[0] | uint32_t{row[1]} << 8 | uint32_t{row[2]} << 16;
            return;
        case 32:
            for (int x = 0; x < width; ++x, row += 4) out[x] = row[0] | uint32_t{row[1]} << 8 | uint32_t{row[2]} << 16;
            return;
        case 16:
            for (int x = 0; x < width; ++x, row += 2) out[x] = Rgb555To24(row[0] | uint32_t{row[1]} << 8);
            return;
        default:
            for (int x = 0; x < width; ++x) out[x] = ImageColorAt(image, x, y) & 0xFFFFFF;
    }
}

bool ImageDistinctColors(const Image* image, int limit, std::vector<ColorCount>* out, WorkMeter* work) {
    ColorCounter counter(limit);
    const int width = ImageWidth(image);
    if (ImageBitCount(image) <= 8) {
        // Counted by index first: entries that share a colour add up.
        uint64_t uses[256] = {};
        const bool bytes = ImageBitCount(image) == 8;
        for (int y = 0; y < ImageHeight(image); ++y) {
            if (!Spend(work, uint64_t(width))) return false;
            const uint8_t* row = ImageRow(image, y);
            for (int x = 0; x < width; ++x) ++uses[bytes ? row[x] : ImageGetPixel(image, x, y) & 255];
        }
        for (int i = 0; i < 256; ++i) {
            if (uses[i] == 0) continue;
            const RgbQuad* q = ImageColorTable(image, i);
            const uint32_t color = q->rgbBlue | uint32_t{q->rgbGreen} << 8 | uint32_t{q->rgbRed} << 16;
            if (!counter.add(color, uses[i])) return false;
        }
    } else {
        std::vector<uint32_t> row(static_cast<size_t>(width));
        for (int y = 0; y < ImageHeight(image); ++y) {
            if (!Spend(work, uint64_t(width))) return false;
            ImageRowColors(image, y, row.data());
            uint32_t last = row[0];
            uint64_t run = 0;
            for (int x = 0; x < width; ++x) {
                if (row[x] == last) {
                    ++run;
                    continue;
                }
                if (!counter.add(last, run)) return false;
                last = row[x], run = 1;
            }
            if (!counter.add(last, run)) return false;
        }
    }
    counter.collect(out);
    return true;
}

namespace {

ColorHistogram::Cell& CellOf(std::vector<ColorHistogram::Cell>& grid, uint32_t c) {
    return grid[(c >> 6 & 0x3F000) | (c >> 4 & 0xFC0) | (c >> 2 & 0x3F)];
}

}  // namespace

bool ColorHistogram::add(const Image* image, WorkMeter* work) {
    if (grid_.empty()) grid_.assign(size_t{1} << 18, Cell{});
    const int width = ImageWidth(image);
    std::vector<uint32_t> row(static_cast<size_t>(width));
    for (int y = 0; y < ImageHeight(image); ++y) {
        if (!Spend(work, uint64_t(width))) return false;
        ImageRowColors(image, y, row.data());
        for (int x = 0; x < width; ++x) {
            const uint32_t c = row[x];
            Cell& cell = CellOf(grid_, c);
            ++cell.count;
            cell.sum[0] += static_cast<uint32_t>(Red(c));
            cell.sum[1] += static_cast<uint32_t>(Green(c));
            cell.sum[2] += static_cast<uint32_t>(Blue(c));
        }
    }
    return true;
}

void ColorHistogram::add(uint32_t color, uint64_t count) {
    if (grid_.empty()) grid_.assign(size_t{1} << 18, Cell{});
    Cell& cell = CellOf(grid_, color);
    cell.count += count;
    cell.sum[0] += static_cast<uint64_t>(Red(color)) * count;
    cell.sum[1] += static_cast<uint64_t>(Green(color)) * count;
    cell.sum[2] += static_cast<uint64_t>(Blue(color)) * count;
}

std::vector<ColorHistogram::Cell> ColorHistogram::cells() const {
    std::vector<Cell> out;
    for (const Cell& c : grid_)
        if (c.count) out.push_back(c);
    return out;
}

int QuantizePalette(const ColorHistogram& histogram, int maxColors, PaletteEntry* out, WorkMeter* work) {
    if (!Spend(work, size_t{1} << 18)) return 0;  // the walk over the grid
    std::vector<Point> points;
    for (const ColorHistogram::Cell& cell : histogram.cells()) {
        Point p{cell, {}, {}};
        for (int k = 0; k < 3; ++k) {
            p.mean[k] = static_cast<int>((cell.sum[k] + cell.count / 2) / cell.count);
            const double m = static_cast<double>(cell.sum[k]) / static_cast<double>(cell.count);
            p.square[k] = m * m * static_cast<double>(cell.count);
        }
        points.push_back(p);
    }
    if (points.empty()) return 0;
    maxColors = std::clamp(maxColors, 1, 256);
    std::vector<Box> boxes;
    BoxStats all = StatsOf(points, 0, points.size());
    boxes.push_back({0, points.size(), all, all.error()});
    while (static_cast<int>(boxes.size()) < maxColors) {
        size_t pick = boxes.size();
        for (size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].end - boxes[i].begin > 1 && (pick == boxes.size() || boxes[i].error > boxes[pick].error))
                pick = i;
        if (pick == boxes.size()) break;  // every box is a single cell
        const Box box = boxes[pick];
        if (!Spend(work, (box.end - box.begin) * 8)) return 0;
        const size_t cut = SplitBox(points, box);
        const BoxStats a = StatsOf(points, box.begin, cut), b = StatsOf(points, cut, box.end);
        boxes[pick] = {box.begin, cut, a, a.error()};
        boxes.push_back({cut, box.end, b, b.error()});
    }
    const int count = static_cast<int>(boxes.size());
    for (int i = 0; i < count; ++i) {
        const BoxStats& s = boxes[static_cast<size_t>(i)].stats;
        uint8_t c[3];
        for (int k = 0; k < 3; ++k) c[k] = static_cast<uint8_t>(Clamp255(static_cast<int>(std::lround(s.sum[k] / s.count))));
        out[i] = {c[0], c[1], c[2], 0};
    }
    return RefineKMeans(points, out, count, work) ? count : 0;
}

PaletteMatcher::PaletteMatcher(const PaletteEntry* palette, int count)
    : keys_(size_t{1} << kCacheBits, 0), values_(size_t{1} << kCacheBits, 0) {
    for (int i = 0; i < count; ++i) byGreen_.push_back({palette[i].red, palette[i].green, palette[i].blue, i});
    std::stable_sort(byGreen_.begin(), byGreen_.end(), [](const Entry& a, const Entry& b) { return a.g < b.g; });
}

int PaletteMatcher::search(int r, int g, int b) const {
    // Outwards from the entries of the nearest green, both ways, until the
    // green difference alone is further than the best found.
    const size_t n = byGreen_.size();
    size_t up = static_cast<size_t>(std::lower_bound(byGreen_.begin(), byGreen_.end(), g,
                                                     [](const Entry& e, int v) { return e.g < v; }) -
                                    byGreen_.begin());
    size_t down = up;
    int best = -1, bestIndex = 0;
    auto consider = [&](const Entry& e) {
        const int d = Distance(e.r - r, e.g - g, e.b - b);
        if (best < 0 || d < best || (d == best && e.index < bestIndex)) best = d, bestIndex = e.index;
    };
    while (up < n || down > 0) {
        if (up < n) {
            const int dg = byGreen_[up].g - g;
            if (best >= 0 && kWeight[1] * dg * dg > best) up = n;
            else consider(byGreen_[up++]);
        }
        if (down > 0) {
            const int dg = g - byGreen_[down - 1].g;
            if (best >= 0 && kWeight[1] * dg * dg > best) down = 0;
            else consider(byGreen_[--down]);
        }
    }
    return bestIndex;
}

int PaletteMatcher::nearest(uint32_t color) {
    color &= 0xFFFFFF;
    const size_t slot = ((color * 2654435761u) >> (32 - kCacheBits)) & ((size_t{1} << kCacheBits) - 1);
    if (keys_[slot] == color + 1) return values_[slot];
    const int index = search(Red(color), Green(color), Blue(color));
    keys_[slot] = color + 1;
    values_[slot] = static_cast<uint8_t>(index);
    return index;
}

Image* ImageMapToPalette(const Image* source, const PaletteEntry* palette, int count, bool dither,
                         uint64_t* error, WorkMeter* work) {
    if (count < 1 || count > 256) return nullptr;
    const int width = ImageWidth(source), height = ImageHeight(source);
    ImagePtr image(ImageCreate(width, height, 8));
    if (!image) return nullptr;
    PaletteEntry entries[256] = {};
    std::copy(palette, palette + count, entries);
    ImageSetPalette(image.get(), entries);
    uint32_t colors[256];
    for (int i = 0; i < count; ++i) colors[i] = EntryColor(palette[i]);
    PaletteMatcher matcher(palette, count);
    std::vector<uint32_t> row(static_cast<size_t>(width));
    std::vector<int> here, below;
    if (dither) here.assign(static_cast<size_t>(width + 2) * 3, 0), below = here;
    uint64_t total = 0;
    for (int y = 0; y < height; ++y) {
        if (!Spend(work, uint64_t(width))) return nullptr;
        ImageRowColors(source, y, row.data());
        if (dither)
            MapRowDithered(row.data(), width, y & 1, matcher, colors, here, below, ImageRow(image.get(), y), &total);
        else
            MapRowPlain(row.data(), width, matcher, colors, ImageRow(image.get(), y), &total);
    }
    if (error) *error = total;
    return image.release();
}

Image* ImageReduceColors(const Image* source, bool dither, int* count, WorkMeter* work) {
    std::vector<ColorCount> colors;
    PaletteEntry palette[256] = {};
    int n = 0;
    if (ImageDistinctColors(source, 256, &colors, work)) {
        for (const ColorCount& c : colors)
            palette[n++] = {uint8_t(Red(c.color)), uint8_t(Green(c.color)), uint8_t(Blue(c.color)), 0};
        dither = false;  // every colour is there: nothing to diffuse
    } else {
        ColorHistogram histogram;
        if (!histogram.add(source, work)) return nullptr;
        n = QuantizePalette(histogram, 256, palette, work);
    }
    if (n == 0) return nullptr;
    if (count) *count = n;
    return ImageMapToPalette(source, palette, n, dither, nullptr, work);
}

double ColorPsnr(uint64_t squaredError, uint64_t samples) {
    if (squaredError == 0 || samples == 0) return 99;
    const double mse = static_cast<double>(squaredError) / static_cast<double>(samples);
    return 10 * std::log10(255.0 * 255.0 / mse);
}
