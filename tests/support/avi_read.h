// The tests' reader of the AVI files that the AVI stream writes: the first
// video stream's frame count, rate and frames, to hold against the frames
// that went in. Off Windows (avi_read.cpp) it walks the RIFF parts of an AVI
// 1.0 or OpenDML file for uncompressed 16-, 24- and 32-bit frames; on
// Windows (avi_read_win32.cpp) it reads through Video for Windows with the
// decompressors the system has, as the players there do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "formats/format.h"

class AviRead {
public:
    explicit AviRead(const std::string& path);
    ~AviRead();

    ErrorCode error = kErrorNone;  // why the file could not be read; kErrorNone when it can
    int32_t frames = 0;            // in the stream, the empty (repeated) ones among them
    uint32_t rate = 0, scale = 0;  // of the stream header: rate / scale frames per second

    // Frame n (from 0) in an image that the reader keeps and draws every
    // frame over, so that an empty chunk shows the frame before, as players
    // show it: read the frames in order. None with *error set when it cannot
    // be read: kErrorRead past the last frame.
    Image* frame(int32_t n, ErrorCode* error = nullptr);

    struct State;  // each platform's

private:
    std::unique_ptr<State> state_;
};
