// The viewer's two workers as it uses them: playback asks for frames on one
// thread while the feed's worker decodes them on another, and an export
// writes on a thread of its own while the window cancels it. Built also
// under ThreadSanitizer (the tsan preset), which reports any access the
// feed's monitor or the cancel flag does not order.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "codecs/export.h"

#include "shell/playback.h"

#include "tests/support/flic_writer.h"
#include "tests/support/gif_builder.h"
#include "tests/support/memory_frames.h"
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

FrameFeed* Open(Bytes& file) {
    FormatRegisterAll();
    LoadRequest request{};
    request.data = file.data();
    request.size = static_cast<uint32_t>(file.size());
    Status error = kErrorNone;
    return FrameFeedOpen(FrameSourceOpen(&request), true, &error);
}

// The clock moves only by the frame timers that fire, never while a frame
// is fetched, so that playback has no reason to pass frames over.
struct Effects : PlaybackEffects {
    uint64_t clock = 0;
    uint32_t armed = 0;
    void armTimer(uint32_t ms) override { armed = ms; }
    void stopTimer() override { armed = 0; }
    void repaint() override {}
    void tellPercent(int) override {}
    uint64_t now() override { return clock; }
};

// Ticks until playback shows frame n; the frames between, in order.
void PlayTo(Playback& playback, Effects& effects, int n) {
    while (playback.position() != n || playback.fetching() >= 0) {
        const int before = playback.position();
        if (playback.fetching() < 0) effects.clock += uint64_t{effects.armed} * 1000;
        playback.tick();
        if (playback.fetching() >= 0) std::this_thread::yield();
        if (playback.position() != before && !playback.paused()) {
            ASSERT_EQ(playback.position(), (before + 1) % kFrames);
        }
        ASSERT_EQ(ImageGetPixel(playback.frame(), 23, 15), static_cast<uint32_t>(playback.position() % 256));
    }
}

TEST(FeedThreads, PlaybackShowsEveryFrameInOrderAndJumpsWhileTheWorkerDecodes) {
    for (Bytes file : {FlatFlic(), FlatGif()}) {
        Effects effects;
        Playback playback(effects);
        playback.start(Open(file), false);
        while (!FrameFeedWaitFirst(playback.feed(), 1000)) {
        }
        playback.tick();  // the first frame, decoded by the worker
        ASSERT_TRUE(playback.frame());
        PlayTo(playback, effects, kFrames - 1);
        PlayTo(playback, effects, 0);  // round again
        playback.pause();
        for (int n : {150, 20, 199, 3}) {
            playback.goTo(n);
            PlayTo(playback, effects, n);
        }
        playback.step(-1);
        PlayTo(playback, effects, 2);
        FrameFeedWaitIdle(playback.feed());  // the scouting has reached the end
        EXPECT_EQ(playback.status().count, kFrames);
        EXPECT_EQ(playback.status().endedEarly, kErrorNone);
    }
}

// Closing while the worker is deep in a jump stops it within a frame; the
// feed and its frames are freed (the asan build's leak check holds that).
TEST(FeedThreads, ClosingStopsTheWorkerWhileItDecodes) {
    FlicWriter writer(0xAF12, 320, 200, 10);
    Picture picture(320, 200, 0);
    writer.frame().copy(picture);
    for (int i = 1; i < 400; ++i) {
        Picture next = picture;
        next.at(i % 320, i % 200) = static_cast<uint8_t>(i);
        writer.frame().deltaFlc(picture, next);
        picture = next;
    }
    // From a file, as the viewer opens one: a worker that the close does not
    // wait for holds the mapping until it ends, where bytes of the caller's
    // would go from under it.
    TempDir dir;
    const std::string path = dir.file("long.flc");
    WriteFile(path, writer.finish());
    auto open = [&] {
        FormatRegisterAll();
        LoadRequest request{};
        Status error = kErrorNone;
        return FrameFeedOpen(FrameSourceOpenFile(path.c_str(), &request), true, &error);
    };
    for (int n : {399, 200, 1}) {
        FrameFeed* feed = open();
        ASSERT_TRUE(feed);
        FrameFeedShow(feed, n);  // the worker starts on it
        FrameFeedClose(feed);
    }
    FrameFeedClose(open());  // while the first frame is being decoded
}

// The worker decodes the first frame; a file that turns out to have none
// says why, and playback stops polling for it.
TEST(FeedThreads, AFirstFrameFoundMissingIsTold) {
    FlicWriter writer(0xAF12, 64, 48, 10);
    for (int i = 0; i < 3; ++i) writer.frame().byteRun(Picture(64, 48, static_cast<uint8_t>(i)));
    Bytes file = writer.finish();
    file.resize(140);  // into the first frame's chunk
    Effects effects;
    Playback playback(effects);
    playback.start(Open(file), false);
    while (!FrameFeedWaitFirst(playback.feed(), 1000)) {
    }
    playback.tick();
    EXPECT_FALSE(playback.frame());
    EXPECT_TRUE(playback.missing());
    EXPECT_EQ(playback.status().missing, kErrorInvalidData);
    EXPECT_EQ(playback.fetching(), -1);
}

// A frame that a pass cannot decode now (out of memory) though an earlier
// pass went by it, with and without a worker: playback pauses on the frame
// before it and says why, rather than waiting for it for ever; playing on
// tries it once more, and plays it once it can be had. The count stays.
TEST(FeedThreads, AFrameThatCannotBeDecodedNowPausesPlaybackAndSaysWhy) {
    std::vector<ImagePtr> owned;
    std::vector<const Image*> list;
    for (int i = 0; i < 20; ++i) {
        owned.emplace_back(ImageCreate(8, 4, 8));
        std::memset(ImageRow(owned.back().get(), 0), i, 8);
        ImageSetDelay(owned.back().get(), 10);
        list.push_back(owned.back().get());
    }
    for (bool worker : {false, true}) {
        MemoryFrames frames(list);
        Effects effects;
        Playback playback(effects);  // closes the feed before the frames go
        Status error;
        playback.start(FrameFeedOpen(frames.take(), worker, &error), true);
        auto settle = [&] {  // the worker done, then the timer fires on time
            FrameFeedWaitIdle(playback.feed());
            effects.clock += uint64_t{effects.armed} * 1000;
            playback.tick();
        };
        settle();
        for (int n : {12, 2, 8}) {  // by frame 10, back, then from the checkpoint before it
            if (n == 8) frames.failAt(10);
            playback.goTo(n);
            settle();
        }
        for (int round = 0; round < 2; ++round) {  // the second time, playing on tries again
            playback.togglePause();
            for (int i = 0; i < 8 && !playback.paused(); ++i) settle();
            EXPECT_TRUE(playback.paused()) << worker;
            EXPECT_EQ(playback.position(), 9) << worker;
            EXPECT_EQ(playback.fetching(), -1) << worker;
            EXPECT_EQ(effects.armed, 0u) << worker;
            EXPECT_EQ(playback.cannotShow(), Status(kErrorOutOfMemory, nullptr, 10)) << worker;
        }
        char text[64];
        FrameFailedText(playback.cannotShow(), text, sizeof text);
        EXPECT_STREQ(text, "frame 10 cannot be shown: not enough memory");
        EXPECT_EQ(playback.status().count, 20) << worker;

        frames.failAt(-1);  // the memory is back
        playback.togglePause();
        for (int i = 0; i < 8 && playback.position() != 11; ++i) settle();
        EXPECT_EQ(playback.position(), 11) << worker;
        EXPECT_TRUE(playback.cannotShow().ok()) << worker;
    }
}

// Frames so large that only the one shown and the one wanted fit in the
// feed's memory: the worker decodes no frame ahead that it would drop again,
// and comes to rest.
TEST(FeedThreads, LargeFramesLeaveTheWorkerIdle) {
    const int side = static_cast<int>(kFeedMemory / 2 / 2048) - 64;  // two frames of 2048 x side fit, three do not
    FlicWriter writer(0xAF12, 2048, side, 10);
    for (int i = 0; i < 6; ++i) writer.frame().byteRun(Picture(2048, side, static_cast<uint8_t>(i)));
    Bytes file = writer.finish();
    FrameFeed* feed = Open(file);
    ASSERT_TRUE(feed);
    while (!FrameFeedShow(feed, 1)) FrameFeedWaitIdle(feed);
    FrameFeedWaitIdle(feed);
    EXPECT_TRUE(FrameFeedShow(feed, 1));
    FrameFeedClose(feed);
}

// An export on a worker, cancelled from another thread as the progress
// window does once frames are being written: the export stops with no error,
// the file it would have replaced is as it was, and nothing is left beside it.
TEST(ExportThreads, ACancelFromAnotherThreadLeavesTheOldFile) {
    FormatRegisterAll();
    Bytes file = FlatFlic();
    TempDir dir;
    for (FormatId id : {kFormatGif, kFormatAvi, kFormatSpr}) {
        const std::string target = dir.file("old");
        WriteFile(target, Bytes(100, 'o'));
        LoadRequest load{};
        load.data = file.data();
        load.size = static_cast<uint32_t>(file.size());
        FrameSource* source = FrameSourceOpen(&load);
        ASSERT_TRUE(source);

        struct Shared {
            std::atomic<bool> cancelled{false};
            std::mutex mutex;
            std::condition_variable written;
            int done = 0;
        } shared;
        FrameSourceWork(source).watch(&shared.cancelled);
        ExportRequest request;
        request.formatId = id;
        request.fileName = target.c_str();
        request.source = source;
        // The third frame written waits for the cancel, as a frame being
        // written when the user clicks Cancel would.
        request.progress = {[](void* context, int done, int) {
                                auto* s = static_cast<Shared*>(context);
                                std::unique_lock<std::mutex> lock(s->mutex);
                                s->done = done;
                                s->written.notify_all();
                                if (done == 3) s->written.wait(lock, [s] { return s->cancelled.load(); });
                                return !s->cancelled.load();
                            },
                            &shared};
        int result = -1;
        std::thread worker([&] { result = ExportAnimation(&request); });
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            shared.written.wait(lock, [&] { return shared.done >= 3; });
            shared.cancelled = true;
        }
        shared.written.notify_all();
        worker.join();
        EXPECT_EQ(result, 0) << id;
        EXPECT_EQ(request.error, kErrorNone) << id;
        EXPECT_EQ(ReadFile(target), Bytes(100, 'o')) << id;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << id;
        FrameSourceClose(source);
    }
}

}  // namespace
