// A frame source over frames in memory, for the tests of what reads sources
// (the exports). The frames stay the caller's and must outlive the source.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/frame_source.h"

class MemoryFrames {
public:
    explicit MemoryFrames(const std::vector<const Image*>& frames);
    ~MemoryFrames();
    MemoryFrames(const MemoryFrames&) = delete;
    MemoryFrames& operator=(const MemoryFrames&) = delete;
    FrameSource* source() const { return source_; }

private:
    std::vector<uint8_t> bytes_;
    FrameSource* source_ = nullptr;
};
