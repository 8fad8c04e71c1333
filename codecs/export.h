// Writing a whole animation, for the viewer's commands and the tool alike:
// into one file of a format that holds animations (GIF and AVI through their
// streams, SPR through its saver), or as one numbered file per frame.
//
// It sits with the codecs because it knows how each format takes an
// animation: AVI wants 24-bit frames at the first frame's rate, with their
// positions; the others take the frames as they are.
#pragma once

#include <cstddef>

#include "formats/format.h"
#include "formats/frame_source.h"
#include "formats/save.h"

// Told after each frame is written, with the frames done and the total;
// returning false stops the run as a cancel. A pass over the frames that
// comes before the writing (a GIF's colours, the frames a Pro Motion or
// APNG header counts, an AVI's timing) tells each frame it reads too.
struct ExportProgress {
    bool (*frameDone)(void* context, int done, int total) = nullptr;
    void* context = nullptr;
    void (*frameRead)(void* context, int read, int total) = nullptr;
};

struct ExportRequest {
    FormatId formatId = kFormatNone;
    const char* fileName = nullptr;  // the file; for numbered files, the start of their names
    void* owner = nullptr;           // the window that owns any dialog (the AVI compressor's), or none
    void* options = nullptr;         // numbered files: the saver's options, or none
    bool dither = false;             // GIF animations: frames whose colours are reduced get Floyd-Steinberg
    FrameSource* source = nullptr;   // the frames, decoded one at a time, in memory that does not grow with them
    int32_t firstFrame = 0;          // the frame to start from
    ExportProgress progress;
    // Where the export counts its work (about a unit a pixel or a byte
    // written) and sees a stop: a meter made by WorkMeter::Unbounded that
    // watches the caller's flag, raised through SaveStop. Every pass asks it
    // within kWorkCheckInterval units, and it is asked once more right
    // before the file is put in place: a stop before then leaves no file.
    // None: never stopped.
    WorkMeter* work = nullptr;
    Status error;                    // out: why it failed (a write error with the system's reason), or cancelled
    int written = 0;                 // out: the frames written
};

// Writes every frame into one file. 1 when the file is in place; otherwise
// nothing is left behind (an existing file stays as it was) and the error
// says why, or that the user cancelled in a dialog, through the progress or
// through the meter.
int ExportAnimation(ExportRequest* request);

// ExportAnimation in two steps, for a caller that opens the file (and shows
// the AVI compressor's dialog) on one thread and writes the frames on
// another. Begin plans the export (a GIF's colour pass over a source) and
// opens the stream; none when it ends there, as ExportAnimation would.
// Finish writes the frames, closes the stream and frees the run; a failure
// or a cancel abandons the stream.
struct ExportRun;
ExportRun* ExportAnimationBegin(ExportRequest* request);
int ExportAnimationFinish(ExportRun* run, ExportRequest* request);

// Saves frame n as ExportNumberedName(fileName, formatId, n); a Pro Motion
// file takes the frames from n to the last. The first
// failure stops the run; the files written before it stay. A cancel through
// the progress stops it too, cancelled. 1 when every frame is saved.
int ExportNumberedFiles(ExportRequest* request);

// "BASE007.EXT": the base as given, the number of frame n of `count`, and
// the format's default extension. Every number of the run has as many
// digits as the largest needs, three at least, so that the names sort in
// the frames' order (F0000 ... F5999 for 6000 frames, F000 ... F999 for
// 1000). False when it does not fit in `outSize` bytes.
bool ExportNumberedName(const char* base, FormatId id, int n, int count, char* out, size_t outSize);
