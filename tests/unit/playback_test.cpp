// Playback without the window: what each of the viewer's playback keys and
// commands does to the frame on screen, the timer and what the host is told.
#include "shell/playback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/flic_writer.h"
#include "tests/support/test_util.h"

namespace {

// Frame i is flat colour i, each shown 10 ms.
Bytes Steps(int frames) {
    FlicWriter writer(0xAF12, 8, 4, 10);
    for (int i = 0; i < frames; ++i) writer.frame().copy(Picture(8, 4, static_cast<uint8_t>(i)));
    return writer.finish();
}

struct Effects : PlaybackEffects {
    int timer = -1;  // the interval armed, -1 for none
    int repaints = 0;
    std::vector<int> told;
    uint64_t clock = 0;  // microseconds
    void armTimer(uint32_t ms) override { timer = static_cast<int>(ms); }
    void stopTimer() override { timer = -1; }
    void repaint() override { ++repaints; }
    void tellPercent(int percent) override { told.push_back(percent); }
    uint64_t now() override { return clock; }
};

class PlaybackTest : public testing::Test {
protected:
    // With a worker, the feed has decoded the frames ahead when this returns.
    void open(int frames, bool paused = false, bool worker = false) {
        file_ = Steps(frames);
        FormatRegisterAll();
        LoadRequest request{};
        request.data = file_.data();
        request.size = static_cast<uint32_t>(file_.size());
        Status error = kErrorNone;
        FrameFeed* feed = FrameFeedOpen(FrameSourceOpen(&request), worker, &error);
        FrameFeedWaitIdle(feed);  // the first frame and those after it decoded
        playback_.start(feed, paused);
        ASSERT_TRUE(playback_.frame());
    }
    // The frame on screen, by its colour.
    int shown() const { return ImageRow(playback_.frame(), 0)[0]; }
    // The timer fires on time.
    void tick() {
        effects_.clock += static_cast<uint64_t>(std::max(effects_.timer, 0)) * 1000;
        playback_.tick();
    }
    void tickAt(uint64_t ms) {
        effects_.clock = ms * 1000;
        playback_.tick();
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) tick();
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
        tick();
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
    tick();
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
    tick();
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
    const std::vector<int> expected{80, 40, 20, 10, 5, 3, 2};  // 2.5 and 1.25 ms, rounded up
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

// Each frame is due at the one before's due time plus its delay: a late
// tick does not push the frames after it later, an early one waits out the
// rest, and at a speed the delays shrink with it.
TEST_F(PlaybackTest, FramesAreDueByTheClockNotByTheTicks) {
    open(10);
    tickAt(4);  // early: nothing yet, the rest armed
    EXPECT_EQ(playback_.position(), 0);
    EXPECT_EQ(effects_.timer, 6);
    tickAt(13);  // 3 ms late
    EXPECT_EQ(playback_.position(), 1);
    EXPECT_EQ(effects_.timer, 7);  // frame 2 is still due at 20
    tickAt(20);
    EXPECT_EQ(playback_.position(), 2);
    playback_.setSpeed(kNormalSpeed + 2);  // 4x: the frame on screen stays 2.5 ms from now
    EXPECT_EQ(effects_.timer, 3);
    tickAt(22);
    EXPECT_EQ(playback_.position(), 2);
    tickAt(23);
    EXPECT_EQ(playback_.position(), 3);
}

// Behind its time, playback passes over the frames whose time has gone too
// and tells the host where it is; far behind, it starts its clock again
// rather than racing through the file.
TEST_F(PlaybackTest, FallingBehindPassesOverFramesToStayOnTime) {
    open(10, false, true);
    tickAt(35);  // frames 1, 2 and 3 were due at 10, 20 and 30
    EXPECT_EQ(playback_.position(), 3);
    EXPECT_EQ(effects_.timer, 5);
    EXPECT_EQ(effects_.told.back(), 33);
    FrameFeedWaitIdle(playback_.feed());
    effects_.clock = 60'000'000;  // a minute later
    playback_.tick();             // passes over the frames held, then waits for the next
    FrameFeedWaitIdle(playback_.feed());
    playback_.tick();
    EXPECT_GT(playback_.position(), 4);
    EXPECT_EQ(playback_.fetching(), -1);
    EXPECT_EQ(effects_.timer, 10);  // and from there on at its own delay
}

// Frames whose delays the file's structure tells are passed over before
// they are decoded: playback goes straight to the frame that is due.
TEST_F(PlaybackTest, FallingBehindPassesOverFramesNotYetDecoded) {
    open(20, false, true);  // frames 1 to 3 decoded ahead
    tickAt(75);             // frame 7 was due at 70
    FrameFeedWaitIdle(playback_.feed());
    playback_.tick();
    EXPECT_EQ(playback_.position(), 7);
}

// However late, a pass ends on its last frame: it is not passed over on
// the way round, so the host is told 100%.
TEST_F(PlaybackTest, FallingBehindNeverPassesOverTheLastFrame) {
    open(5, false, true);
    tickAt(10);
    FrameFeedWaitIdle(playback_.feed());  // frames 1 to 4 held
    tickAt(900);  // every frame was due long ago
    EXPECT_EQ(playback_.position(), 4);
    EXPECT_EQ(effects_.told.back(), 100);
}

// Pause keeps a step that is armed: Stepping, then pause, then resume plays
// exactly one frame and pauses; a pause from an extract command does the same.
TEST_F(PlaybackTest, PauseKeepsTheStepArmed) {
    open(5);
    playback_.singleStep();
    playback_.togglePause();
    EXPECT_TRUE(playback_.paused());
    EXPECT_TRUE(playback_.steppingOnce());
    EXPECT_EQ(effects_.timer, -1);
    playback_.togglePause();
    EXPECT_FALSE(playback_.paused());
    tick();
    EXPECT_EQ(playback_.position(), 1);
    EXPECT_TRUE(playback_.paused());
    playback_.singleStep();
    playback_.pause();
    EXPECT_TRUE(playback_.steppingOnce());
    playback_.togglePause();
    ticks(3);
    EXPECT_EQ(playback_.position(), 2);
    EXPECT_TRUE(playback_.paused());
}

}  // namespace
