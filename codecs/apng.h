// Animated PNG: the export stream (writing only). The frames share one
// palette when every frame has 8 bits or fewer and the same colours, else
// they are RGB (RGBA when a 32-bit frame carries alpha). After the first,
// each frame is the rectangle that changed since the one before, either
// replacing what is there or drawn over it with the pixels that stayed
// transparent, whichever deflates smaller; a frame equal to the one before
// adds its delay to it. Delays are exact: milliseconds over 1000. Loops for
// ever.
//
// The stream holds the frame shown last, the frame waiting to learn whether
// the next one joins it, and the next one: three frames, whatever the length.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"

// What the stream needs to know of the whole animation before its header:
// gathered frame by frame (ApngScanAdd) in a pass before the export.
struct ApngPlan {
    int32_t frames = 0;         // frames written: those equal to the one before are joined
    bool palette = false;       // one palette serves every frame
    int32_t transparent = -1;   // with a palette: an index no frame uses, or -1
    bool alpha = false;         // otherwise: RGBA rather than RGB
};

struct ApngScan;
ApngScan* ApngScanCreate();
// Counts in the next frame and its delay. False when the frame's size
// differs from the first's; where memory runs out, std::bad_alloc.
bool ApngScanAdd(ApngScan* scan, const Image* frame, uint32_t delay);
ApngPlan ApngScanResult(const ApngScan* scan);
void ApngScanDestroy(ApngScan* scan);

// The stream's open takes the ApngPlan of its frames as options; without
// one it refuses (error 1). A stream whose frames do not come as planned
// fails at its close (error 7), leaving nothing behind.
extern const StreamOps kApngStreamOps;
extern const FileFormat kApngFormat;

// The longest delay a frame says exactly, in milliseconds: equal frames are
// joined only while their delays add up to no more.
constexpr uint32_t kApngLongestExactDelay = 65535;
