// The thumbnail view's picture. Many animations open on a black or
// single-coloured frame (a fade in, a title that comes up after a moment),
// and a thumbnail of that frame tells nothing apart from the next file's.
// So when the first frame is flat, nearly one colour, the thumbnail is the
// first frame after it that is not, looked for a short way ahead only; when
// none is, it is the first frame after all.
//
// The frames are read through a frame source, which holds one frame at a
// time, so memory stays what one frame's thumbnail needs. The look-ahead is
// bounded by frames and playing time (kLookAheadFrames, kLookAheadMs), and by
// what it costs: work, a multiple of the first frame's, and the bytes of the
// pictures it makes; so a hostile file, whose frames may each cost what the
// load's work meter allows, still gives its thumbnail at a small multiple of
// what its first frame costs.
#include <algorithm>

#include "formats/format.h"
#include "formats/frame_source.h"
#include "image/scale.h"

namespace {

// At most this many frames after the first, and only those that start to
// show within this much playing time: an intro of a couple of seconds.
constexpr int32_t kLookAheadFrames = 120;
constexpr uint64_t kLookAheadMs = 2000;

// The look-ahead may spend this many times the work of decoding the first
// frame (counted as at least its pixels: a frame that draws nothing costs the
// decoder next to nothing, yet its picture is still made and looked at). A
// 640 x 480 animation whose frames each copy the whole picture gets about 60
// frames; one whose frames change little gets them all.
constexpr uint64_t kLookAheadWorkFactor = 32;
// And never more than this, whatever the first frame cost: a first frame may
// spend up to the whole floor of the meter, and the thumbnail as a whole is
// to come within about what one load may cost.
constexpr uint64_t kLookAheadWorkLimit = kWorkFloor / 2;

// And at most this many bytes of pictures, which the meter does not count
// everywhere (a GIF frame starts as a copy of the one before it, widened to
// 24 bits where its colours need it); a frame counts as 4 bytes a pixel
// before it is made, the most it can take, so that a huge picture is not
// looked past at all: 64 MiB is some 200 frames of 640 x 480 at 8 bits, 28
// of 1920 x 1080.
constexpr uint64_t kLookAheadBytes = uint64_t{64} << 20;

// A side of the grid of pixels that the flatness test looks at.
constexpr int kFlatGrid = 256;

// The grid's samples: rows of the frame and columns in them.
struct Grid {
    int columns = 0, rows = 0;
    int xs[kFlatGrid];
    const uint8_t* lines[kFlatGrid];
};

// Whether fewer than 1 in 100 of the grid's samples differ from their most
// common colour, `color(row, x)` telling a sample's.
template <typename ColorAt>
bool FlatSamples(const Grid& g, const ColorAt& color) {
    // A colour on more than 99 % of the samples is on more than half of any
    // sixteenth of them (every 4th column of every 4th row), where the
    // majority vote finds it in one pass without counting every colour; a
    // pass over all the samples then counts those that differ from it, and
    // stops once they are too many.
    uint32_t candidate = 0;
    uint64_t votes = 0;
    for (int j = 0; j < g.rows; j += 4)
        for (int i = 0; i < g.columns; i += 4) {
            const uint32_t c = color(g.lines[j], g.xs[i]);
            if (votes == 0) candidate = c;
            votes = c == candidate ? votes + 1 : votes - 1;
        }
    const uint64_t samples = uint64_t(g.columns) * uint64_t(g.rows);
    uint64_t differing = 0;
    for (int j = 0; j < g.rows && differing * 100 < samples; ++j)
        for (int i = 0; i < g.columns; ++i) differing += color(g.lines[j], g.xs[i]) != candidate;
    return differing * 100 < samples;
}

// Whether fewer than 1 in 100 of the frame's pixels differ from its most
// common colour. Colours rather than palette indices, since a fade in from
// black draws the picture first and brings its palette up afterwards; only
// equality counts, so a 16-bit pixel's value stands for its colour.
//
// The test looks at a grid of at most kFlatGrid x kFlatGrid pixels spread
// evenly over the frame, every pixel of a smaller one, so that it costs about
// what making a thumbnail of that size does however large the frame: a frame
// of 65535 x 4096 pixels is tested as fast as one of 256 x 256. A picture
// that covers 1 % or more of the frame falls on about that share of an even
// grid of 65536 samples, unless its detail repeats at exactly the grid's
// spacing; what the grid can miss entirely (lines a pixel wide between its
// columns) is far below 1 % of a frame large enough to be sampled at all.
// The pixels are read straight from the rows, for each depth apart: the test
// reads tens of thousands of them a frame, for up to kLookAheadFrames frames.
bool IsFlat(const Image* frame) {
    const int width = ImageWidth(frame), height = ImageHeight(frame), depth = ImageBitCount(frame);
    Grid g;
    g.columns = std::min(width, kFlatGrid), g.rows = std::min(height, kFlatGrid);
    for (int i = 0; i < g.columns; ++i) g.xs[i] = static_cast<int>((int64_t{2} * i + 1) * width / (int64_t{2} * g.columns));
    for (int j = 0; j < g.rows; ++j)
        g.lines[j] = ImageRow(frame, static_cast<int>((int64_t{2} * j + 1) * height / (int64_t{2} * g.rows)));
    uint32_t colors[256] = {};
    for (int i = 0; depth <= 8 && i < (1 << depth); ++i) {
        const RgbQuad* q = ImageColorTable(frame, i);
        colors[i] = q->rgbBlue | (uint32_t{q->rgbGreen} << 8) | (uint32_t{q->rgbRed} << 16);
    }
    auto bytes = [](const uint8_t* p, int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; ++k) v |= uint32_t{p[k]} << (8 * k);
        return v;
    };
    switch (depth) {
        case 8: return FlatSamples(g, [&](const uint8_t* row, int x) { return colors[row[x]]; });
        case 16: return FlatSamples(g, [&](const uint8_t* row, int x) { return bytes(row + size_t(x) * 2, 2); });
        case 24: return FlatSamples(g, [&](const uint8_t* row, int x) { return bytes(row + size_t(x) * 3, 3); });
        case 32: return FlatSamples(g, [&](const uint8_t* row, int x) { return bytes(row + size_t(x) * 4, 3); });
        default:  // 1, 2 or 4 bits, the leftmost pixel in the high bits
            return FlatSamples(g, [&](const uint8_t* row, int x) {
                const size_t bit = size_t(x) * size_t(depth);
                return colors[(row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1)];
            });
    }
}

// The frame reduced to fit the box, or none with the request's error.
Image* Reduce(const Image* frame, int boxWidth, int boxHeight, LoadRequest* request) {
    const ImageSize fit = ImageFitSize(ImageWidth(frame), ImageHeight(frame), boxWidth, boxHeight);
    Image* thumbnail = fit.width > 0 ? ImageScaleArea(frame, fit.width, fit.height) : nullptr;
    if (!thumbnail) request->error = fit.width > 0 ? Status(kErrorOutOfMemory) : Status(kErrorUnknown, "no room for a thumbnail");
    return thumbnail;
}

// What the look-ahead needs to know of the first frame, which the source
// no longer holds once it has decoded the next.
struct FirstFrame {
    uint32_t delay;
    uint64_t pixels;
    uint64_t work;  // what decoding it cost the source's work meter
};

// The first frame after the first (flat) one that is not flat, within the
// look-ahead's bounds; none when there is none.
const Image* FirstPictureAfter(FrameSource* source, const FirstFrame& first) {
    WorkMeter& work = FrameSourceWork(source);
    const uint64_t allowed = std::min(std::max(first.work, first.pixels) * kLookAheadWorkFactor, kLookAheadWorkLimit);
    const uint64_t start = work.spent();
    uint64_t made = 0;               // bytes of the pictures made
    uint64_t shownAt = first.delay;  // when frame n starts to show
    for (int32_t n = 1; n <= kLookAheadFrames && shownAt <= kLookAheadMs; ++n) {
        // The frames of an animation share their size, not their depth.
        if (made + first.pixels * 4 > kLookAheadBytes) return nullptr;
        // The source only goes forward here, so its meter never starts afresh.
        const uint64_t spent = work.spent() - start;
        if (spent >= allowed) return nullptr;
        // Also within the frame: the meter stops a decoder that would spend
        // more, as it stops one reading a damaged file.
        work.limit(allowed - spent);
        const Image* frame = FrameSourceFrame(source, n);
        if (!frame) return nullptr;
        if (!IsFlat(frame)) return frame;
        made += static_cast<uint64_t>(ImageBitsSize(frame));
        shownAt += ImageGetDelay(frame);
    }
    return nullptr;
}

}  // namespace

Image* ImageLoadThumbnail(const char* fileName, int boxWidth, int boxHeight, LoadRequest* request) {
    FrameSource* source = FrameSourceOpenFile(fileName, request);
    if (!source) return nullptr;
    FrameSourceInOrder(source);
    const uint64_t opened = FrameSourceWork(source).spent();
    const Image* first = FrameSourceFrame(source, 0);
    if (!first) {
        const Status ended = FrameSourceEndedEarly(source);
        request->error = !ended.ok() ? ended : Status(kErrorInvalidData);
        FrameSourceClose(source);
        return nullptr;
    }
    // The first frame's thumbnail is made at once: when the look-ahead finds
    // nothing, the source may have ended or moved past the first frame.
    Image* thumbnail = Reduce(first, boxWidth, boxHeight, request);
    if (thumbnail && IsFlat(first)) {
        const FirstFrame facts{ImageGetDelay(first), uint64_t(ImageWidth(first)) * uint64_t(ImageHeight(first)),
                               FrameSourceWork(source).spent() - opened};
        const Image* picture = FirstPictureAfter(source, facts);
        Image* better = picture ? Reduce(picture, boxWidth, boxHeight, request) : nullptr;
        if (better) {
            ImageDestroy(thumbnail);
            thumbnail = better;
        }
        request->error = kErrorNone;  // a picture of the first frame is no failure
    }
    FrameSourceClose(source);
    return thumbnail;
}
