// The thumbnail view's picture. Many animations open on a black or
// single-coloured frame (a fade in, a title that comes up after a moment),
// and a thumbnail of that frame tells nothing apart from the next file's.
// So when the first frame is flat, nearly one colour, the thumbnail is the
// first frame after it that is not, looked for a short way ahead only; when
// none is, it is the first frame after all.
//
// The frames are read through a frame source, which holds one frame at a
// time, so memory stays what one frame's thumbnail needs. The look-ahead is
// bounded three ways: by frames (kLookAheadFrames), by playing time
// (kLookAheadMs), and by work, so that a hostile file, whose frames may each
// cost what the load's work meter allows, still gives its thumbnail at a
// small multiple of its first frame's cost.
#include <algorithm>

#include "formats/format.h"
#include "formats/frame_source.h"
#include "image/convert.h"
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

// A side of the grid of pixels that the flatness test looks at.
constexpr int kFlatGrid = 256;

// Whether fewer than 1 in 100 of the frame's pixels differ from its most
// common colour (colours, not palette indices: a fade in from black draws the
// picture first and brings its palette up afterwards).
//
// The test looks at a grid of at most kFlatGrid x kFlatGrid pixels spread
// evenly over the frame, every pixel of a smaller one, so that it costs about
// what making a thumbnail of that size does however large the frame: a frame
// of 65535 x 4096 pixels is tested as fast as one of 256 x 256. A picture of
// 1 % or more of the frame shows in about that share of an even grid of
// 65536 samples, unless its detail repeats at exactly the grid's spacing;
// what the grid can miss entirely (lines a pixel wide between its columns) is
// far below 1 % of a frame large enough to be sampled at all.
bool IsFlat(const Image* frame) {
    const int width = ImageWidth(frame), height = ImageHeight(frame);
    const int columns = std::min(width, kFlatGrid), rows = std::min(height, kFlatGrid);
    int xs[kFlatGrid];
    for (int i = 0; i < columns; ++i) xs[i] = static_cast<int>((int64_t{2} * i + 1) * width / (int64_t{2} * columns));
    auto colorAt = [&](int i, int j) {
        const int y = static_cast<int>((int64_t{2} * j + 1) * height / (int64_t{2} * rows));
        return ImageColorAt(frame, xs[i], y) & 0xFFFFFFu;  // no alpha or reserved byte
    };
    // A colour on more than 99 % of the samples is on more than half of
    // them, which the majority vote finds in one pass without counting every
    // colour; a second pass counts the samples that differ from it.
    uint32_t candidate = 0;
    uint64_t votes = 0;
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) {
            const uint32_t color = colorAt(i, j);
            if (votes == 0) candidate = color;
            votes = color == candidate ? votes + 1 : votes - 1;
        }
    uint64_t differing = 0;
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) differing += colorAt(i, j) != candidate;
    return differing * 100 < uint64_t(columns) * uint64_t(rows);
}

// The frame reduced to fit the box, or none with the request's error.
Image* Reduce(const Image* frame, int boxWidth, int boxHeight, LoadRequest* request) {
    const ImageSize fit = ImageFitSize(ImageWidth(frame), ImageHeight(frame), boxWidth, boxHeight);
    Image* thumbnail = fit.width > 0 ? ImageScaleArea(frame, fit.width, fit.height) : nullptr;
    if (!thumbnail) request->error = fit.width > 0 ? kErrorOutOfMemory : kErrorUnknown;
    return thumbnail;
}

// The first frame after the first (flat) one that is not flat, within the
// look-ahead's bounds; none when there is none. The first frame showed for
// `firstDelay` and had `firstPixels`; decoding it cost the source's work
// meter `firstWork`.
const Image* FirstPictureAfter(FrameSource* source, uint32_t firstDelay, uint64_t firstPixels, uint64_t firstWork) {
    WorkMeter& work = FrameSourceWork(source);
    const uint64_t allowed = std::min(std::max(firstWork, firstPixels) * kLookAheadWorkFactor, kLookAheadWorkLimit);
    const uint64_t start = work.spent();
    uint64_t shownAt = firstDelay;  // when frame n starts to show
    for (int32_t n = 1; n <= kLookAheadFrames && shownAt <= kLookAheadMs; ++n) {
        // The source only goes forward here, so its meter never starts afresh.
        const uint64_t spent = work.spent() - start;
        if (spent >= allowed) return nullptr;
        // Also within the frame: the meter stops a decoder that would spend
        // more, as it stops one reading a damaged file.
        work.limit(allowed - spent);
        const Image* frame = FrameSourceFrame(source, n);
        if (!frame) return nullptr;
        if (!IsFlat(frame)) return frame;
        shownAt += ImageGetDelay(frame);
    }
    return nullptr;
}

}  // namespace

Image* ImageLoadThumbnail(const char* fileName, int boxWidth, int boxHeight, LoadRequest* request) {
    FrameSource* source = FrameSourceOpenFile(fileName, request);
    if (!source) return nullptr;
    const uint64_t opened = FrameSourceWork(source).spent();
    const Image* first = FrameSourceFrame(source, 0);
    if (!first) {
        const ErrorCode ended = FrameSourceEndedEarly(source);
        request->error = ended != kErrorNone ? ended : kErrorInvalidData;
        FrameSourceClose(source);
        return nullptr;
    }
    // The first frame's thumbnail is made at once: when the look-ahead finds
    // nothing, the source may have ended or moved past the first frame.
    Image* thumbnail = Reduce(first, boxWidth, boxHeight, request);
    if (thumbnail && IsFlat(first)) {
        const uint64_t pixels = uint64_t(ImageWidth(first)) * uint64_t(ImageHeight(first));
        const Image* picture =
            FirstPictureAfter(source, ImageGetDelay(first), pixels, FrameSourceWork(source).spent() - opened);
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
