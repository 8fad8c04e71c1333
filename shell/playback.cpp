#include "shell/playback.h"

#include <algorithm>

namespace {

// How far playback may fall behind before its clock starts again from now.
constexpr uint64_t kMaxLagUs = 1000 * 1000;

}  // namespace

Playback::~Playback() { FrameFeedClose(feed_); }

void Playback::start(FrameFeed* feed, bool paused) {
    effects_.stopTimer();
    FrameFeedClose(feed_);
    feed_ = feed;
    FrameFeedSetLoop(feed_, loop_);
    frame_ = nullptr;
    position_ = 0;
    pending_ = -1;
    pendingAdvances_ = false;  // the first frame, when it comes late, counts its delay from then
    cannotShow_ = {};
    singleStep_ = false;
    paused_ = paused;
    percentTold_ = -1;
    // The first frame may still be being decoded: the timer then polls for it.
    if (const Image* first = FrameFeedShow(feed_, 0))
        show(0, first);
    else
        pending_ = 0;
    restartClock();
    rearm();  // and it plays from there, unless paused
}

FrameFeedStatus Playback::status() const { return feed_ ? FrameFeedGetStatus(feed_) : FrameFeedStatus{}; }

uint64_t Playback::scaled(uint32_t delayMs) const {
    const Ratio& speed = kSpeedSteps[speedIndex_];
    return uint64_t{delayMs} * 1000 * static_cast<uint64_t>(speed.den) / static_cast<uint64_t>(speed.num);
}

int32_t Playback::following(int32_t n) const {
    if (n + 1 < count()) return n + 1;
    return loop_ && count() > 1 ? 0 : -1;
}

void Playback::restartClock() { due_ = effects_.now() + frameInterval(); }

// The frame just shown was due at due_; the next is due its delay after.
// Far behind (the machine stood still, or decoding cannot keep up), the
// clock starts again from now rather than racing through the frames.
void Playback::keepTime() {
    due_ += frameInterval();
    if (due_ + kMaxLagUs < effects_.now()) restartClock();
}

bool Playback::atTheEnd() const { return position_ + 1 >= count(); }

// The one timer: polling for a frame being fetched, what is left until the
// next frame is due while playing, none otherwise. A still picture has
// nothing to play.
void Playback::rearm() {
    if (missing()) return effects_.stopTimer();
    if (pending_ >= 0) return effects_.armTimer(kFetchPollMs);
    if (paused_ || count() <= 1) return effects_.stopTimer();
    const uint64_t now = effects_.now();
    const uint64_t left = due_ > now ? (due_ - now + 999) / 1000 : 0;
    effects_.armTimer(static_cast<uint32_t>(std::clamp<uint64_t>(left, 1, 0x7FFFFFFF)));
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
    if (!cannotShow_.ok()) {
        cannotShow_ = {};
        effects_.repaint();  // the note goes
    }
    if (changed) effects_.repaint();
    tellPosition();
}

// Frame n is not there yet: it is fetched, unless the feed has found that
// it cannot decode it (fetchFailed).
void Playback::fetch(int32_t n, bool advances) {
    if (fetchFailed(n)) return;
    pending_ = n;
    pendingAdvances_ = advances;
}

// Whether frame n, asked for, is one the feed cannot decode: then playback
// pauses on the frame on screen and says why, rather than waiting for it.
// The feed is asked for the frame on screen again, so that playing on (or
// any other request for n) tries n once more.
bool Playback::fetchFailed(int32_t n) {
    const Status unreadable = status().unreadable;
    if (!unreadable.failed() || unreadable.frame != n) return false;
    pending_ = -1;
    pendingAdvances_ = false;
    singleStep_ = false;
    paused_ = true;
    cannotShow_ = unreadable;
    if (frame_) FrameFeedShow(feed_, position_);
    effects_.repaint();
    return true;
}

void Playback::goTo(int32_t n) {
    if (!feed_) return;
    n = std::clamp(n, 0, std::max(0, count() - 1));
    pendingAdvances_ = false;
    if (const Image* image = FrameFeedShow(feed_, n)) {
        show(n, image);
        restartClock();
    } else if (n != position_) {
        fetch(n, false);
    }
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
        if (!image) {
            fetchFailed(n);
            return rearm();
        }
        const bool advanced = pendingAdvances_;
        show(n, image);
        if (!advanced) {  // a jump: the frame stays its delay from now
            restartClock();
            return rearm();
        }
        keepTime();  // it was due at due_, however late it came
        if (singleStep_) {
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
    if (effects_.now() < due_) return rearm();  // early: the time left is armed again
    advance();
}

// Shows the frame that is due, passing over those whose time has gone too
// while their delays are known (the frames the feed holds). The last frame
// is never passed over: a pass ends there, and the host is told so.
void Playback::advance() {
    const uint64_t now = effects_.now();
    int32_t next = following(position_);
    uint64_t nextDue = due_;
    while (!singleStep_) {
        const int32_t after = following(next);
        const int64_t delay = FrameFeedDelay(feed_, next);
        if (after <= 0 || delay < 0) break;
        const uint64_t afterDue = nextDue + scaled(static_cast<uint32_t>(delay));
        if (afterDue > now) break;
        next = after;
        nextDue = afterDue;
    }
    due_ = nextDue;
    const Image* image = FrameFeedShow(feed_, next);
    if (!image) {  // still being decoded: it shows when it comes, and playback catches up from there
        fetch(next, true);
        return rearm();
    }
    show(next, image);
    keepTime();
    if (singleStep_) {
        singleStep_ = false;
        paused_ = true;
    }
    rearm();
}

void Playback::togglePause() {
    if (paused_ && !loop_ && atTheEnd()) goTo(0);
    paused_ = !paused_;
    if (!paused_) restartClock();
    rearm();
}

void Playback::pause() {
    paused_ = true;
    rearm();
}

void Playback::singleStep() {
    singleStep_ = true;
    paused_ = false;
    // From now: the next frame comes after the frame's own delay.
    restartClock();
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
    restartClock();  // the frame on screen stays its delay at the new speed
    if (pending_ < 0) rearm();
    effects_.repaint();  // the overlay shows the speed
}

void Playback::setLoop(bool loop) {
    loop_ = loop;
    if (feed_) FrameFeedSetLoop(feed_, loop);
}
