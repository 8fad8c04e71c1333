#include "shell/playback.h"

#include <algorithm>

Playback::~Playback() { FrameFeedClose(feed_); }

void Playback::start(FrameFeed* feed, bool paused) {
    effects_.stopTimer();
    FrameFeedClose(feed_);
    feed_ = feed;
    FrameFeedSetLoop(feed_, loop_);
    frame_ = nullptr;
    position_ = 0;
    pending_ = -1;
    singleStep_ = false;
    paused_ = paused;
    percentTold_ = -1;
    // The first frame may still be being decoded: the timer then polls for it.
    if (const Image* first = FrameFeedShow(feed_, 0))
        show(0, first);
    else
        pending_ = 0;
    rearm();  // and it plays from there, unless paused
}

FrameFeedStatus Playback::status() const { return feed_ ? FrameFeedGetStatus(feed_) : FrameFeedStatus{}; }

uint32_t Playback::frameInterval() const {
    const Ratio& speed = kSpeedSteps[speedIndex_];
    const uint64_t delay = uint64_t{frame_ ? ImageGetDelay(frame_) : 0} * static_cast<uint64_t>(speed.den) /
                           static_cast<uint64_t>(speed.num);
    return static_cast<uint32_t>(std::clamp<uint64_t>(delay, 1, 0x7FFFFFFF));
}

bool Playback::atTheEnd() const { return position_ + 1 >= count(); }

// The one timer: polling for a frame being fetched, the frame's delay while
// playing, none otherwise. A still picture has nothing to play.
void Playback::rearm() {
    if (missing())
        effects_.stopTimer();
    else if (pending_ >= 0)
        effects_.armTimer(kFetchPollMs);
    else if (!paused_ && count() > 1)
        effects_.armTimer(frameInterval());
    else
        effects_.stopTimer();
}

void Playback::tellPosition() {
    const int32_t last = count() - 1;
    const int percent = last > 0 ? static_cast<int>(int64_t{position_} * 100 / last) : 0;
    if (percent == percentTold_) return;
    percentTold_ = percent;
    effects_.tellPercent(percent);
}

void Playback::show(int32_t n, const Image* image) {
    if (!image) return;
    const bool changed = image != frame_;
    frame_ = image;
    position_ = n;
    pending_ = -1;
    if (changed) effects_.repaint();
    tellPosition();
}

void Playback::goTo(int32_t n) {
    if (!feed_) return;
    n = std::clamp(n, 0, std::max(0, count() - 1));
    pendingAdvances_ = false;
    if (const Image* image = FrameFeedShow(feed_, n))
        show(n, image);
    else if (n != position_)
        pending_ = n;
    rearm();
}

void Playback::tick() {
    if (!feed_) return;
    if (missing()) {  // there is nothing to play, and the window says why
        pending_ = -1;
        effects_.repaint();
        return rearm();
    }
    if (pending_ >= 0) {
        const int32_t n = std::min(pending_, std::max(0, count() - 1));  // the count drops at damage
        const Image* image = FrameFeedShow(feed_, n);
        if (!image) return rearm();
        const bool advanced = pendingAdvances_;
        show(n, image);
        if (advanced && singleStep_) {
            singleStep_ = false;
            paused_ = true;
        }
        return rearm();
    }
    if (paused_) return rearm();
    if (atTheEnd() && !loop_) {  // played once: it stays on the last frame
        singleStep_ = false;
        paused_ = true;
        return rearm();
    }
    const int32_t next = atTheEnd() ? 0 : position_ + 1;
    const Image* image = FrameFeedShow(feed_, next);
    if (!image) {  // still being decoded: a pending step stays pending
        pending_ = next;
        pendingAdvances_ = true;
        return rearm();
    }
    show(next, image);
    if (singleStep_) {
        singleStep_ = false;
        paused_ = true;
    }
    rearm();
}

void Playback::togglePause() {
    if (paused_ && !loop_ && atTheEnd()) goTo(0);
    paused_ = !paused_;
    if (paused_) singleStep_ = false;
    rearm();
}

void Playback::pause() {
    singleStep_ = false;
    paused_ = true;
    rearm();
}

void Playback::singleStep() {
    singleStep_ = true;
    paused_ = false;
    // From now: the next frame comes after the frame's own delay.
    rearm();
}

void Playback::step(int by) {
    singleStep_ = false;
    paused_ = true;
    const int32_t from = target();
    const int32_t last = std::max(0, count() - 1);
    if (by < 0 && from == 0) return goTo(last);
    if (by > 0 && from >= last) return goTo(0);
    goTo(from + by);
}

void Playback::goToFirst() { goTo(0); }
void Playback::goToLast() { goTo(count() - 1); }

void Playback::goToPercent(int percent) {
    const int64_t last = std::max(0, count() - 1);
    goTo(static_cast<int32_t>((int64_t{std::clamp(percent, 0, 100)} * last + 50) / 100));
}

void Playback::setSpeed(int index) {
    speedIndex_ = std::clamp(index, 0, kSpeedStepCount - 1);
    if (pending_ < 0) rearm();
    effects_.repaint();  // the overlay shows the speed
}

void Playback::setLoop(bool loop) {
    loop_ = loop;
    if (feed_) FrameFeedSetLoop(feed_, loop);
}
