// Frames for a player: a frame source decoded on a worker thread a few
// frames ahead of the one on screen, and a few kept behind it for stepping
// back. What it holds does not grow with the animation: the frames around
// the one asked for last, within kFeedAhead, kFeedBehind and kFeedMemory,
// and the source's checkpoints.
//
// The worker decodes only what playback will want next (it does not race to
// the end of the file); a jump decodes from the nearest checkpoint, one frame
// at a time, so that a newer jump is taken up at once. With nothing else to
// do it scouts ahead through the file to lay checkpoints, so that later jumps
// find one near. The worker runs below normal priority and stops within a
// frame when the feed is closed.
//
// Without a worker (none could be had, or none was asked for) the frames are
// decoded on the caller's thread when they are asked for.
//
// One thread uses a feed; the worker is its own.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/frame_source.h"

constexpr int32_t kFeedAhead = 3;
constexpr int32_t kFeedBehind = 4;
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr uint64_t kFeedMemory = uint64_t{12} << 20;
#else
constexpr uint64_t kFeedMemory = uint64_t{8} << 20;
#endif

struct FrameFeed;

// Takes the source. With a worker, the worker decodes the first frame before
// anything else (FrameFeedWaitFirst); without one, it is decoded here, and
// the feed is none, with the source closed and `error` set, when there is
// no first frame to show.
FrameFeed* FrameFeedOpen(FrameSource* source, bool worker, Status* error);
// Stops the worker, which frees the pictures and the source as it ends;
// waits for that a few milliseconds at most, then leaves the worker to free
// the rest (without a worker, everything is freed here). A source opened on
// the caller's bytes (FrameSourceOpen) reads them until that worker ends, so
// those bytes must outlive it, not just the close; a source opened on a file
// holds its own mapping and has no such bond.
void FrameFeedClose(FrameFeed* feed);
// Waits at most `milliseconds` for the worker's first frame. True once it
// is known: decoded (FrameFeedShow gives it), or missing (the status says
// why); false while it is still being decoded.
bool FrameFeedWaitFirst(FrameFeed* feed, uint32_t milliseconds);

// Frame n, when it is decoded: it becomes the frame on screen, kept until
// another is shown, and the worker moves on to the frames after it. When it
// is not, none: the frame on screen stays, and the worker decodes n next
// (without a worker, it is decoded now). None as well for a frame past the
// count, or one that could not be decoded: the status then says why
// (`unreadable`), and the feed does not try it again until it is asked for
// anew, after another frame.
const Image* FrameFeedShow(FrameFeed* feed, int32_t n);
// The delay of frame n, without showing it: the frame's own when the feed
// holds it, else as the file's structure tells it; -1 when only decoding
// tells.
int64_t FrameFeedDelay(const FrameFeed* feed, int32_t n);
// Whether the frames ahead go round to the first after the last.
void FrameFeedSetLoop(FrameFeed* feed, bool loop);

// What the source tells, as far as decoding has gone: the frame count (it
// drops when decoding finds the file damaged before its stated end), the
// frames the file states, and why the frames end early; why the file has no
// frame at all, once the first could not be decoded (ok otherwise); and why
// a frame within the count could not be decoded for the one asked for last
// (it, or one after it), though an earlier pass went by it (out of memory,
// say), with its frame; ok otherwise.
struct FrameFeedStatus {
    int32_t count;
    int32_t stated;
    Status endedEarly;
    Status missing;
    Status unreadable;
};
// How long one pass over the frames of the count plays, in milliseconds,
// from the file's structure: it follows the count when damage lowers it.
uint64_t FrameFeedDuration(const FrameFeed* feed);
// The first frame's size, depth and delay, which describe the file
// whichever frame is on screen.
struct FramePicture {
    int32_t width;
    int32_t height;
    int32_t depth;
    uint32_t delay;
};
FramePicture FrameFeedFirstPicture(const FrameFeed* feed);
// The shortest and the longest delay of the frames, where the file's
// structure tells them without decoding (GIF, SPR); false for the others
// (a FLIC's frames all play as long).
bool FrameFeedDelayRange(const FrameFeed* feed, uint32_t* shortest, uint32_t* longest);
FrameFeedStatus FrameFeedGetStatus(const FrameFeed* feed);
const FileFormat* FrameFeedFormat(const FrameFeed* feed);

// For tests: waits until the worker has nothing left to do (the first
// frame, frame n and those after it decoded, or found missing, and the
// scouting done).
void FrameFeedWaitIdle(FrameFeed* feed);
