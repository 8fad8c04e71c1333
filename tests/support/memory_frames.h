// A frame source over frames in memory, for the tests of what reads sources
// (the exports, playback). The frames stay the caller's and must outlive the
// source.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "formats/frame_source.h"

class MemoryFrames {
public:
    explicit MemoryFrames(const std::vector<const Image*>& frames);
    ~MemoryFrames();
    MemoryFrames(const MemoryFrames&) = delete;
    MemoryFrames& operator=(const MemoryFrames&) = delete;
    FrameSource* source() const { return source_; }
    // The source, for a caller that closes it (a feed); this must outlive it.
    FrameSource* take() { return std::exchange(source_, nullptr); }
    // From now on, the decoders cannot make frame n (out of memory); -1 for none.
    void failAt(int32_t n) { failAt_ = n; }

private:
    std::atomic<int32_t> failAt_{-1};
    std::vector<uint8_t> bytes_;
    FrameSource* source_ = nullptr;
};
