// The progressive load across threads, as the viewer uses it: one thread
// steps the decoder while another walks the frames published so far. Built
// also under ThreadSanitizer (the tsan preset), which reports any access the
// published count does not order.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/flic_writer.h"
#include "tests/support/gif_builder.h"
#include "tests/support/test_util.h"

namespace {

constexpr int kFrames = 200;

// Frame i is flat colour index i % 256, so a reader can tell each frame's
// picture from its place.
Bytes FlatFlic() {
    FlicWriter writer(0xAF12, 24, 16, 10);
    for (int i = 0; i < kFrames; ++i) writer.frame().copy(Picture(24, 16, static_cast<uint8_t>(i)));
    return writer.finish();
}

Bytes FlatGif() {
    GifBuilder gif(24, 16);
    gif.globalTable(TestColors(256));
    for (int i = 0; i < kFrames; ++i) {
        GifImage image;
        image.width = 24, image.height = 16;
        image.pixels.assign(24 * 16, static_cast<uint8_t>(i));
        gif.control(1, 1).image(image);
    }
    return gif.finish();
}

ProgressiveLoad* Open(Bytes& file) {
    FormatRegisterAll();
    LoadRequest request{};
    request.data = file.data();
    request.size = static_cast<uint32_t>(file.size());
    return ProgressiveOpen(&request);
}

// Walks the published frames as they come, never reading the link after the
// last published one, until the load is complete or `until` frames are seen.
// The frames it saw in order, each checked against its place.
int WalkPublished(ProgressiveLoad* load, int until) {
    const Image* frame = ProgressiveFirst(load);
    int index = 0;
    for (;;) {
        EXPECT_EQ(ImageGetPixel(frame, 23, 15), static_cast<uint32_t>(index % 256)) << index;
        if (index + 1 >= until) return index + 1;
        bool complete = false;
        int published = ProgressiveFrames(load, &complete);
        while (index + 1 >= published && !complete) {
            std::this_thread::yield();
            published = ProgressiveFrames(load, &complete);
        }
        if (index + 1 >= published) return index + 1;
        frame = ImageNext(frame);
        ++index;
    }
}

TEST(ProgressiveThreads, AReaderWalksTheFramesWhileAnotherThreadDecodesThem) {
    for (Bytes file : {FlatFlic(), FlatGif()}) {
        ProgressiveLoad* load = Open(file);
        ASSERT_TRUE(load);
        std::thread decoder([load] {
            while (ProgressiveStep(load)) {
            }
        });
        EXPECT_EQ(WalkPublished(load, kFrames + 1), kFrames);
        decoder.join();
        EXPECT_EQ(ProgressiveEndedEarly(load), kErrorNone);
        // Complete: the whole chain may be walked, and the caller may own it.
        ImagePtr chain(ProgressiveTakeChain(load));
        ProgressiveClose(load);
        EXPECT_EQ(ImageCount(chain.get()), kFrames);
    }
}

TEST(ProgressiveThreads, AStoppedDecoderIsJoinedAndTheLoadClosedHalfWay) {
    Bytes file = FlatFlic();
    ProgressiveLoad* load = Open(file);
    ASSERT_TRUE(load);
    std::atomic<bool> stop{false};
    std::thread decoder([load, &stop] {
        while (!stop.load(std::memory_order_relaxed) && ProgressiveStep(load)) {
        }
    });
    WalkPublished(load, 20);
    stop = true;
    decoder.join();
    const int decoded = ProgressiveFrames(load);
    EXPECT_GE(decoded, 20);
    // What is published stays usable after the decoder stopped; closing frees
    // the frames and the decoder (the leak check of the asan build holds it).
    EXPECT_EQ(WalkPublished(load, decoded), decoded);
    ProgressiveClose(load);
}

}  // namespace
