#include "formats/frame_feed.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace {

struct Slot {
    int32_t index;
    Image* image;  // owned
    uint64_t bytes;
};

constexpr int32_t kNone = -1;

// Room for the slots Keep leaves, one more being filed, and as many dropped
// ones waiting for the worker to free them. The feed reserves it when it
// opens, so that no container grows on the worker (where running out of
// memory could not be told).
constexpr size_t kSlotRoom = 2 * (1 + (kFeedAhead + 1) + kFeedBehind + 1);

}  // namespace

struct FrameFeed {
    FrameSource* source = nullptr;  // the worker's while it runs
    Monitor* monitor = nullptr;
    Thread* worker = nullptr;
    bool threaded = false;  // a worker runs (set before it starts)
    std::atomic<bool> stop{false};
    // Changes with every new frame asked for, so that the worker can drop a
    // decode that is no longer wanted between two frames.
    std::atomic<uint32_t> generation{0};

    // Under the monitor:
    std::vector<Slot> slots;
    uint64_t bytes = 0;       // of the slots' images
    std::vector<Image*> discarded;  // dropped from the slots, for the worker to free outside the monitor
    int32_t shown = 0;        // the frame on screen, never dropped
    int32_t wanted = 0;       // the frame asked for last
    bool loop = true;
    Status failed;            // a frame that could not be decoded for `wanted` (its frame), and why; ok for none
    bool scouting = true;     // the source may still have checkpoints to lay
    bool busy = false;        // the worker is decoding
    bool firstPending = false;  // the worker has the first frame to decode before anything else
    Status missing;  // why there is no first frame, once that is known
    bool emptied = false;     // the worker has freed the pictures and the source and is ending
    bool abandoned = false;   // the closer did not wait for that: the worker frees the feed
    FrameFeedStatus status{};
    uint64_t duration = 0;
    int32_t durationCount = 0;  // the frames `duration` counts
    uint32_t shortest = 0, longest = 0;  // delays, where the structure tells them
    // Set before the worker starts, never again: every frame's delay where
    // the structure tells them (GIF, SPR), or the one delay of them all
    // where it tells only how long they play (FLIC).
    std::vector<uint32_t> delays;
    uint32_t everyDelay = 0;
    FramePicture first{};
};

namespace {

const Slot* Find(const FrameFeed* feed, int32_t n) {
    for (const Slot& slot : feed->slots)
        if (slot.index == n) return &slot;
    return nullptr;
}

// Where frame n lies from the one wanted, in the order playback goes: 0 for
// it, 1 for the next, ... going round when the feed loops; kNone for a frame
// behind it.
int32_t Ahead(const FrameFeed* feed, int32_t n) {
    const int32_t count = feed->status.count;
    int32_t distance = n - feed->wanted;
    if (distance < 0 && feed->loop && count > 0) distance += count;
    return distance >= 0 ? distance : kNone;
}

bool Keep(const FrameFeed* feed, const Slot& slot) {
    if (slot.index == feed->shown) return true;
    const int32_t ahead = Ahead(feed, slot.index);
    if (ahead != kNone && ahead <= kFeedAhead) return true;
    return slot.index < feed->wanted && slot.index >= feed->wanted - kFeedBehind;
}

void Drop(FrameFeed* feed, size_t at) {
    feed->bytes -= feed->slots[at].bytes;
    // Freeing a large picture takes a while: not on the window's thread, nor
    // while the monitor is held.
    if (feed->threaded && feed->discarded.size() < feed->discarded.capacity())
        feed->discarded.push_back(feed->slots[at].image);
    else
        ImageDestroy(feed->slots[at].image);
    feed->slots.erase(feed->slots.begin() + static_cast<std::ptrdiff_t>(at));
}

// Drops what playback has left behind, then the frames furthest behind
// while the memory is over.
void Trim(FrameFeed* feed) {
    for (size_t i = feed->slots.size(); i-- > 0;)
        if (!Keep(feed, feed->slots[i])) Drop(feed, i);
    while (feed->bytes > kFeedMemory) {
        size_t victim = feed->slots.size();
        for (size_t i = 0; i < feed->slots.size(); ++i) {
            const Slot& slot = feed->slots[i];
            if (slot.index == feed->shown || slot.index == feed->wanted) continue;
            if (victim == feed->slots.size() || slot.index < feed->slots[victim].index) victim = i;
        }
        if (victim == feed->slots.size()) return;
        Drop(feed, victim);
    }
}

// The next frame to decode for playback: the one wanted, then the few after
// it; kNone when they are all there (or as many as the memory allows).
int32_t NextToDecode(const FrameFeed* feed) {
    const int32_t count = feed->status.count;
    // A frame ahead is decoded only where it fits beside those kept: one
    // that Trim would drop again would be decoded over and over.
    uint64_t largest = 0;
    for (const Slot& slot : feed->slots) largest = std::max(largest, slot.bytes);
    for (int32_t d = 0; d <= kFeedAhead; ++d) {
        int32_t n = feed->wanted + d;
        if (n >= count) {
            if (!feed->loop || count <= 0) return kNone;
            n %= count;
        }
        if (n == feed->failed.frame) return kNone;
        if (Find(feed, n)) continue;
        // The frame wanted comes whatever it costs; the ones after it while they fit.
        if (d > 0 && feed->bytes + largest > kFeedMemory) return kNone;
        return n;
    }
    return kNone;
}

// Under the monitor: files a decoded frame, within the room reserved.
void File(FrameFeed* feed, int32_t n, Image* image) {
    if (feed->slots.size() == feed->slots.capacity()) Trim(feed);
    if (feed->slots.size() == feed->slots.capacity()) {  // never: Keep leaves fewer
        ImageDestroy(image);
        return;
    }
    feed->slots.push_back({n, image, LoadBudget::ImageFootprint(image)});
    feed->bytes += feed->slots.back().bytes;
    Trim(feed);
}

// By the thread that has the source, under the monitor.
void Publish(FrameFeed* feed) {
    feed->status = {FrameSourceCount(feed->source), FrameSourceStatedFrames(feed->source),
                    FrameSourceEndedEarly(feed->source), feed->missing};
    // Damage found lowers the count, and the time the frames play with it.
    if (feed->status.count < feed->durationCount) {
        feed->duration = FrameSourceDuration(feed->source);
        feed->durationCount = feed->status.count;
    }
}

FramePicture Describe(const Image* image) {
    return {ImageWidth(image), ImageHeight(image), ImageBitCount(image), ImageGetDelay(image)};
}

// A copy of the first frame; none, with the reason, when there is none.
Image* DecodeFirst(FrameFeed* feed, Status* error) {
    *error = {};
    const Image* first = FrameSourceFrame(feed->source, 0);
    Image* copy = first ? ImageDuplicate(first) : nullptr;
    if (!copy) {
        const Status ended = FrameSourceEndedEarly(feed->source);
        *error = first ? Status(kErrorOutOfMemory) : !ended.ok() ? ended : Status(kErrorInvalidData);
    }
    return copy;
}

// The pictures and the source, the bulk of what a feed holds.
void Empty(FrameFeed* feed) {
    for (const Slot& slot : feed->slots) ImageDestroy(slot.image);
    feed->slots.clear();
    for (Image* image : feed->discarded) ImageDestroy(image);
    feed->discarded.clear();
    FrameSourceClose(feed->source);
    feed->source = nullptr;
}

void Free(FrameFeed* feed) {
    Empty(feed);
    MonitorDestroy(feed->monitor);
    delete feed;
}

// How long closing waits for the worker to end, to join it; past that the
// worker (deep in a hostile frame, say) ends on its own.
constexpr uint32_t kCloseWaitMs = 15;

// Under the monitor: waits at most `milliseconds` for `done()`; whether it is.
template <class Done>
bool WaitFor(FrameFeed* feed, uint32_t milliseconds, Done done) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        MonitorWaitFor(feed->monitor, static_cast<uint32_t>(left) + 1);
    }
    return true;
}

// Decodes frame n from where the source stands, kFeedStride frames at a
// time; none when it cannot be had (`why` says why), or (with
// `interruptible`) when another frame is asked for meanwhile. A copy that
// the caller owns.
constexpr int32_t kFeedStride = 32;

Image* Decode(FrameFeed* feed, int32_t n, uint32_t generation, bool interruptible, Status* why) {
    for (int32_t i = FrameSourceStart(feed->source, n);;) {
        i = std::min(n, i + kFeedStride - 1);
        const Image* image = FrameSourceFrame(feed->source, i, why);
        if (!image || feed->stop.load(std::memory_order_relaxed)) return nullptr;
        if (i == n) {
            Image* copy = ImageDuplicate(image);
            if (!copy) *why = kErrorOutOfMemory;
            return copy;
        }
        if (interruptible && feed->generation.load(std::memory_order_relaxed) != generation) return nullptr;
        ++i;
    }
}

// Under the monitor: files what Decode gave for frame n. A frame it could
// not give that is still wanted, and within the frames (the count drops
// where they end), is not tried again until it is asked for anew, and
// the status says why.
void Store(FrameFeed* feed, int32_t n, Image* image, uint32_t generation, const Status& why) {
    Publish(feed);
    if (image) {
        File(feed, n, image);
    } else if (feed->generation.load(std::memory_order_relaxed) == generation && !feed->stop && n < feed->status.count) {
        feed->failed = why.failed() ? why.at(n) : Status(kErrorUnknown, nullptr, n);
    }
}

void Work(void* context) {
    auto* feed = static_cast<FrameFeed*>(context);
    MonitorEnter(feed->monitor);
    if (feed->firstPending) {
        MonitorLeave(feed->monitor);
        Status error;
        Image* first = DecodeFirst(feed, &error);
        MonitorEnter(feed->monitor);
        feed->firstPending = false;
        if (first) {
            feed->first = Describe(first);
            File(feed, 0, first);  // a jump asked for meanwhile may have left it behind
        } else if (!feed->stop) {
            feed->missing = error;
        }
        Publish(feed);
        MonitorWakeAll(feed->monitor);  // for FrameFeedWaitFirst
    }
    while (!feed->stop.load(std::memory_order_relaxed)) {
        if (!feed->discarded.empty()) {
            Image* victims[kSlotRoom];
            const size_t count = std::min(feed->discarded.size(), kSlotRoom);
            std::copy_n(feed->discarded.begin(), count, victims);
            feed->discarded.erase(feed->discarded.begin(), feed->discarded.begin() + static_cast<std::ptrdiff_t>(count));
            MonitorLeave(feed->monitor);
            for (size_t i = 0; i < count; ++i) ImageDestroy(victims[i]);
            MonitorEnter(feed->monitor);
            continue;
        }
        const int32_t n = NextToDecode(feed);
        if (n == kNone && !feed->scouting) {
            feed->busy = false;
            MonitorWakeAll(feed->monitor);  // for FrameFeedWaitIdle
            MonitorWait(feed->monitor);
            continue;
        }
        feed->busy = true;
        const uint32_t generation = feed->generation.load(std::memory_order_relaxed);
        MonitorLeave(feed->monitor);
        Image* image = nullptr;
        Status why;
        bool scouted = true;
        if (n != kNone)
            image = Decode(feed, n, generation, true, &why);
        else
            scouted = FrameSourceScout(feed->source);
        MonitorEnter(feed->monitor);
        if (n != kNone)
            Store(feed, n, image, generation, why);
        else {
            feed->scouting = scouted;
            Publish(feed);
        }
    }
    // Only closing stops the worker. The pictures go here, away from the
    // thread that closed the feed (the closer touches nothing but the flags);
    // then the closer joins the worker, or has left it to free the rest.
    MonitorLeave(feed->monitor);
    Empty(feed);
    MonitorEnter(feed->monitor);
    feed->emptied = true;
    const bool abandoned = feed->abandoned;
    MonitorWakeAll(feed->monitor);
    MonitorLeave(feed->monitor);
    if (!abandoned) return;
    Thread* self = feed->worker;
    Free(feed);
    ThreadDetachSelf(self);
}

}  // namespace

FrameFeed* FrameFeedOpen(FrameSource* source, bool worker, Status* error) {
    *error = {};
    auto* feed = new (std::nothrow) FrameFeed;
    Monitor* monitor = feed ? MonitorCreate() : nullptr;
    if (!monitor) {
        *error = kErrorOutOfMemory;
        delete feed;
        FrameSourceClose(source);
        return nullptr;
    }
    feed->source = source;
    feed->monitor = monitor;
    try {
        feed->slots.reserve(kSlotRoom);
        feed->discarded.reserve(kSlotRoom);
    } catch (const std::bad_alloc&) {
        *error = kErrorOutOfMemory;
        Free(feed);
        return nullptr;
    }
    // From the file's structure, before the worker has the source: one walk
    // over it gives the delays and their sum where it tells them (GIF, SPR),
    // else the sum alone, and every frame's delay where they are all one
    // (FLIC). The delays of a file of many frames may not fit: they are then
    // not told.
    feed->durationCount = FrameSourceCount(source);
    bool walked = false;
    try {
        walked = FrameSourceStructureDelays(source, feed->delays);
    } catch (const std::bad_alloc&) {
        feed->delays.clear();
    }
    if (walked) {
        feed->duration = 0;
        for (const uint32_t delay : feed->delays) feed->duration += delay;
        if (!feed->delays.empty()) {
            const auto [shortest, longest] = std::minmax_element(feed->delays.begin(), feed->delays.end());
            feed->shortest = *shortest;
            feed->longest = *longest;
        }
    } else {
        feed->duration = FrameSourceDuration(source);
        if (feed->durationCount > 0 && feed->duration % static_cast<uint64_t>(feed->durationCount) == 0)
            feed->everyDelay = static_cast<uint32_t>(feed->duration / static_cast<uint64_t>(feed->durationCount));
    }
    Publish(feed);
    // Closing stops the frame under way within a bounded amount of decoding.
    FrameSourceWork(source).watch(&feed->stop);
    if (worker) {
        feed->firstPending = feed->threaded = true;
        feed->worker = ThreadStart(Work, feed);
        if (feed->worker) return feed;
        feed->firstPending = feed->threaded = false;
    }
    Image* first = DecodeFirst(feed, error);
    if (!first) {
        Free(feed);
        return nullptr;
    }
    feed->first = Describe(first);
    File(feed, 0, first);
    Publish(feed);
    return feed;
}

void FrameFeedClose(FrameFeed* feed) {
    if (!feed) return;
    if (!feed->worker) return Free(feed);
    MonitorEnter(feed->monitor);
    feed->stop = true;
    MonitorWakeAll(feed->monitor);
    if (!WaitFor(feed, kCloseWaitMs, [feed] { return feed->emptied; })) {
        feed->abandoned = true;  // the worker frees the feed as it ends
        MonitorLeave(feed->monitor);
        return;
    }
    MonitorLeave(feed->monitor);
    ThreadJoin(feed->worker);
    Free(feed);
}

bool FrameFeedWaitFirst(FrameFeed* feed, uint32_t milliseconds) {
    MonitorLock lock(feed->monitor);
    return WaitFor(feed, milliseconds, [feed] { return !feed->firstPending; });
}

const Image* FrameFeedShow(FrameFeed* feed, int32_t n) {
    MonitorLock lock(feed->monitor);
    if (n < 0 || n >= feed->status.count) return nullptr;
    if (n != feed->wanted) {
        feed->wanted = n;
        feed->failed = {};
        feed->generation.fetch_add(1, std::memory_order_relaxed);
    }
    const Slot* slot = Find(feed, n);
    if (!slot && !feed->worker && n != feed->failed.frame) {
        const uint32_t generation = feed->generation.load(std::memory_order_relaxed);
        Status why;
        Image* image = Decode(feed, n, generation, false, &why);
        Store(feed, n, image, generation, why);
        slot = Find(feed, n);
    }
    Image* image = slot ? slot->image : nullptr;
    if (image) feed->shown = n;
    Trim(feed);  // keeps the frame shown
    if (feed->worker) MonitorWakeAll(feed->monitor);
    return image;
}

int64_t FrameFeedDelay(const FrameFeed* feed, int32_t n) {
    {
        MonitorLock lock(feed->monitor);
        if (const Slot* slot = Find(feed, n)) return ImageGetDelay(slot->image);
    }
    if (n >= 0 && static_cast<size_t>(n) < feed->delays.size()) return feed->delays[static_cast<size_t>(n)];
    return feed->everyDelay ? int64_t{feed->everyDelay} : -1;
}

void FrameFeedSetLoop(FrameFeed* feed, bool loop) {
    MonitorLock lock(feed->monitor);
    feed->loop = loop;
    MonitorWakeAll(feed->monitor);
}

FrameFeedStatus FrameFeedGetStatus(const FrameFeed* feed) {
    MonitorLock lock(feed->monitor);
    FrameFeedStatus status = feed->status;
    status.unreadable = feed->failed;
    return status;
}

uint64_t FrameFeedDuration(const FrameFeed* feed) {
    MonitorLock lock(feed->monitor);
    return feed->duration;
}

bool FrameFeedDelayRange(const FrameFeed* feed, uint32_t* shortest, uint32_t* longest) {
    if (feed->longest == 0) return false;
    *shortest = feed->shortest;  // set before the worker starts, never again
    *longest = feed->longest;
    return true;
}

FramePicture FrameFeedFirstPicture(const FrameFeed* feed) {
    MonitorLock lock(feed->monitor);
    return feed->first;
}

const FileFormat* FrameFeedFormat(const FrameFeed* feed) { return FrameSourceFormat(feed->source); }

void FrameFeedWaitIdle(FrameFeed* feed) {
    MonitorLock lock(feed->monitor);
    if (!feed->worker) return;
    while (feed->firstPending || feed->busy || (NextToDecode(feed) != kNone || feed->scouting))
        MonitorWait(feed->monitor);
}
