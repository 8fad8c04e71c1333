// Playback of an animation, without the window: the frame on screen and its
// position, pause, single step, loop, speed, jumps, and what the host is
// told. Frames come from a FrameFeed; a frame that is not decoded yet is
// fetched while the one on screen stays, and shown once it is there (the
// timer then polls for it). A frame the feed cannot decode (out of memory,
// say) pauses playback on the one on screen, and says why (cannotShow());
// playing on, or asking for it again, tries once more.
//
// Playback keeps time by a clock, not by counting ticks: each frame is due at
// the one before's due time plus that frame's delay at the speed, and the
// timer is armed for what is left until then. A late tick (a busy machine, or
// delays shorter than the system's timer can keep) passes over the frames
// whose time has gone too, as far as their delays are known, rather than
// slowing the animation down.
//
// Playback tells the window what to do through PlaybackEffects: arm or stop
// its one timer, repaint, tell the host the position; and reads the time
// there.
#pragma once

#include <chrono>
#include <cstdint>

#include "formats/frame_feed.h"
#include "shell/ratio.h"

// The playback speeds, 1/8 to 8 times; kNormalSpeed is 1x.
inline constexpr Ratio kSpeedSteps[] = {{1, 8}, {1, 4}, {1, 2}, {1, 1}, {2, 1}, {4, 1}, {8, 1}};
constexpr int kNormalSpeed = 3;
constexpr int kSpeedStepCount = sizeof kSpeedSteps / sizeof kSpeedSteps[0];

// How often the timer looks for a frame being fetched, in milliseconds.
constexpr uint32_t kFetchPollMs = 10;

class PlaybackEffects {
public:
    // One tick after `milliseconds`, replacing any tick armed before.
    virtual void armTimer(uint32_t milliseconds) = 0;
    virtual void stopTimer() = 0;
    virtual void repaint() = 0;
    // How far the animation has played: 0 at the first frame, 100 at the last.
    virtual void tellPercent(int percent) = 0;
    // A monotonic clock in microseconds; tests give one of their own.
    virtual uint64_t now() {
        using namespace std::chrono;
        return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
    }

protected:
    ~PlaybackEffects() = default;
};

class Playback {
public:
    explicit Playback(PlaybackEffects& effects) : effects_(effects) {}
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    // Plays `feed` (taken; the one before is closed) from its first frame,
    // paused there or not; speed and loop stay as they are.
    void start(FrameFeed* feed, bool paused);

    // The commands.
    void togglePause();  // resuming on the last frame of a finished pass starts it over; a step armed stays
    void pause();        // a step armed stays armed for the next resume
    void singleStep();   // plays on for one frame, after the frame's delay, then pauses
    void step(int by);   // one frame forward or back at once, going round; pauses
    void goToFirst();
    void goToLast();
    void goToPercent(int percent);  // the frame at that part of the way (lc_setpercent)
    void goTo(int32_t n);           // clamped into the frames
    void setSpeed(int index);       // into kSpeedSteps, clamped
    void changeSpeed(int by) { setSpeed(speedIndex_ + by); }
    void setLoop(bool loop);
    void tick();  // the timer

    // On screen; valid until the next call. None until the first frame is
    // decoded, and for a file that turns out to have none (missing()).
    const Image* frame() const { return frame_; }
    bool missing() const { return !frame_ && !status().missing.ok(); }
    int32_t position() const { return position_; }   // of the frame on screen, from 0
    int32_t fetching() const { return pending_; }    // the frame being fetched, or -1
    // Why playback stopped before a frame it asked for, which the feed could
    // not decode (with its frame); ok otherwise, and once a frame is shown.
    const Status& cannotShow() const { return cannotShow_; }
    bool paused() const { return paused_; }
    bool steppingOnce() const { return singleStep_; }
    bool loop() const { return loop_; }
    int speedIndex() const { return speedIndex_; }
    FrameFeedStatus status() const;
    FrameFeed* feed() const { return feed_; }
    // How long the frame on screen stays at the speed, in microseconds.
    uint64_t frameInterval() const { return scaled(frame_ ? ImageGetDelay(frame_) : 0); }

private:
    bool atTheEnd() const;
    int32_t count() const { return status().count; }
    int32_t target() const { return pending_ >= 0 ? pending_ : position_; }
    // The frame that plays after n: the next, the first after the last when
    // looping, or -1.
    int32_t following(int32_t n) const;
    uint64_t scaled(uint32_t delayMs) const;
    void show(int32_t n, const Image* image);
    void fetch(int32_t n, bool advances);
    bool fetchFailed(int32_t n);
    void advance();
    void restartClock();  // the frame on screen stays its whole delay from now
    void keepTime();
    void rearm();
    void tellPosition();

    PlaybackEffects& effects_;
    FrameFeed* feed_ = nullptr;
    const Image* frame_ = nullptr;
    int32_t position_ = 0;
    int32_t pending_ = -1;
    bool pendingAdvances_ = false;  // the frame fetched is playback's next, not a jump
    Status cannotShow_;
    uint64_t due_ = 0;  // when the frame after the one on screen (or the one fetched, when it advances) is due
    bool paused_ = false;
    bool singleStep_ = false;
    bool loop_ = true;
    int speedIndex_ = kNormalSpeed;
    int percentTold_ = -1;
};
