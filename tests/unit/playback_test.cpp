// Playback without the window: what each of the viewer's playback keys and
// commands does to the frame on screen, the timer and what the host is told.
#include "shell/playback.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

// Frame i is flat colour i, with delays 10, 20, 30, ... ms.
Bytes Steps(int frames) {
    FlicWriter writer(0xAF12, 8, 4, 10);
    for (int i = 0; i < frames; ++i) writer.frame().copy(Picture(8, 4, static_cast<uint8_t>(i)));
    return writer.finish();
}

struct Effects : PlaybackEffects {
    int timer = -1;  // the interval armed, -1 for none
    int repaints = 0;
    std::vector<int> told;
    void armTimer(uint32_t ms) override { timer = static_cast<int>(ms); }
    void stopTimer() override { timer = -1; }
    void repaint() override { ++repaints; }
    void tellPercent(int percent) override { told.push_back(percent); }
};

class PlaybackTest : public testing::Test {
protected:
    void open(int frames, bool paused = false) {
        file_ = Steps(frames);
        FormatRegisterAll();
        LoadRequest request{};
        request.data = file_.data();
        request.size = static_cast<uint32_t>(file_.size());
        ErrorCode error = kErrorNone;
        playback_.start(FrameFeedOpen(FrameSourceOpen(&request), false, &error), paused);
        ASSERT_TRUE(playback_.frame());
    }
    // The frame on screen, by its colour.
    int shown() const { return ImageRow(playback_.frame(), 0)[0]; }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) playback_.tick();
    }

    Bytes file_;
    Effects effects_;
    Playback playback_{effects_};
};

TEST_F(PlaybackTest, PlaysInOrderAtEachFramesDelayAndGoesRound) {
    open(5);
    EXPECT_EQ(effects_.timer, 10);
    EXPECT_EQ(effects_.told, std::vector<int>{0});
    effects_.repaints = 0;
    for (int i = 1; i <= 6; ++i) {
        playback_.tick();
        EXPECT_EQ(playback_.position(), i % 5);
        EXPECT_EQ(shown(), i % 5);
        EXPECT_EQ(effects_.timer, 10);  // the FLIC's one speed
    }
    EXPECT_EQ(effects_.told, (std::vector<int>{0, 25, 50, 75, 100, 0, 25}));
    EXPECT_EQ(effects_.repaints, 6);
}

TEST_F(PlaybackTest, WithoutLoopItStopsOnTheLastFrameAndResumingStartsOver) {
    open(3);
    playback_.setLoop(false);
    ticks(2);
    playback_.tick();
    EXPECT_EQ(playback_.position(), 2);
    EXPECT_TRUE(playback_.paused());
    EXPECT_EQ(effects_.timer, -1);
    playback_.togglePause();
    EXPECT_EQ(playback_.position(), 0);
    EXPECT_FALSE(playback_.paused());
    EXPECT_EQ(effects_.timer, 10);
}

// Space, Ctrl+Space, "." and ",": pause, one frame after the frame's delay,
// and steps at once that go round and leave playback paused.
TEST_F(PlaybackTest, PauseSingleStepAndSteps) {
    open(4, true);
    EXPECT_TRUE(playback_.paused());
    EXPECT_EQ(effects_.timer, -1);
    playback_.singleStep();
    EXPECT_EQ(effects_.timer, 10);
    EXPECT_EQ(playback_.position(), 0);  // not before the delay
    playback_.tick();
    EXPECT_EQ(playback_.position(), 1);
    EXPECT_TRUE(playback_.paused());
    EXPECT_FALSE(playback_.steppingOnce());
    EXPECT_EQ(effects_.timer, -1);

    playback_.togglePause();
    EXPECT_FALSE(playback_.paused());
    playback_.step(-1);
    EXPECT_TRUE(playback_.paused());
    EXPECT_EQ(shown(), 0);
    playback_.step(-1);
    EXPECT_EQ(shown(), 3);  // round to the last
    playback_.step(1);
    EXPECT_EQ(shown(), 0);  // and back to the first
    playback_.step(1);
    EXPECT_EQ(shown(), 1);
}

// Ctrl+Home, Ctrl+End and the host's lc_setpercent.
TEST_F(PlaybackTest, JumpsToFirstLastAndPercent) {
    open(11, true);
    playback_.goToLast();
    EXPECT_EQ(shown(), 10);
    EXPECT_EQ(effects_.told.back(), 100);
    playback_.goToFirst();
    EXPECT_EQ(shown(), 0);
    for (auto [percent, frame] : {std::pair{25, 3}, {50, 5}, {99, 10}, {100, 10}, {-5, 0}, {250, 10}}) {
        playback_.goToPercent(percent);
        EXPECT_EQ(playback_.position(), frame) << percent;
    }
    playback_.goTo(1000);
    EXPECT_EQ(playback_.position(), 10);
}

// "[", "]" and "\": seven speeds from 1/8x to 8x; the interval follows.
TEST_F(PlaybackTest, SpeedStepsSetTheTimer) {
    open(3);
    const std::vector<int> expected{80, 40, 20, 10, 5, 2, 1};
    playback_.setSpeed(0);
    for (int i = 0; i < kSpeedStepCount; ++i) {
        EXPECT_EQ(effects_.timer, expected[static_cast<size_t>(i)]) << i;
        playback_.changeSpeed(1);
    }
    EXPECT_EQ(playback_.speedIndex(), kSpeedStepCount - 1);  // clamped
    playback_.setSpeed(kNormalSpeed);
    EXPECT_EQ(effects_.timer, 10);
    playback_.pause();
    playback_.changeSpeed(-1);
    EXPECT_EQ(effects_.timer, -1);  // a paused animation stays paused
}

// A still picture has nothing to play: no timer runs for it.
TEST_F(PlaybackTest, AStillRunsNoTimer) {
    open(1);
    EXPECT_EQ(effects_.timer, -1);
    playback_.step(1);
    playback_.goToPercent(100);
    EXPECT_EQ(playback_.position(), 0);
    EXPECT_EQ(effects_.told, std::vector<int>{0});
}

}  // namespace
