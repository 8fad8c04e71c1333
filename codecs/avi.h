// AVI video, a stream-only format that writes: no probe, loader or saver,
// and the stream operations that build an AVI file frame by frame (write
// mode only; there is no read-frame operation).
//
// On Windows the frames go through Video for Windows, with the compressor
// chosen by the user in the system's "Video Compression" dialog
// (avi_vfw_win32.cpp). Elsewhere a small writer of uncompressed AVI files
// stands in (avi_riff.cpp): one 'DIB ' video stream with the frames' rows as
// they lie in memory, and no dialog. Both write through avi_writer.h, so
// files of any length (OpenDML past 1 GiB) at the animation's exact rate.
//
// Either way the file is written under a temporary name beside the target and
// put in place by a successful close: a cancelled dialog, a failed write or an
// abandoned stream leave whatever was there before, and nothing else.
#pragma once

#include <cstdint>

#include "formats/format.h"
#include "formats/save.h"

// What the caller passes as the open request's `options` in write mode.
struct AviExportOptions {
    void* owner;     // the window that owns the compression dialog (an HWND), or none
    uint32_t rate;   // frames per second = rate / scale; 0 counts as 1
    uint32_t scale;  // 0 counts as 1
};

// A frame's delay as the export counts it: delays below 10 ms (0 among them,
// "as fast as you can") count as 10 ms.
uint32_t AviFrameDelay(uint32_t delayMs);

// The stream's rate for frames of `periodMs` milliseconds, exactly, as the
// ratio rate / scale in lowest terms: 80 ms gives 25 / 2 (12.5 frames per
// second). An export's period is the greatest common divisor of its frames'
// delays (so at least 1 ms, at most 1000 frames per second); a frame that
// shows for several periods starts at its own time and the stream repeats
// it until the next.
struct AviRate {
    uint32_t rate;
    uint32_t scale;
};
AviRate AviRateOfPeriod(uint32_t periodMs);

// The stream operations, in the slots of StreamOps; an open in any mode but
// 1 (write) fails with kErrorUnsupportedType. The open request's `image` is
// the first frame and fixes the stream's format (width, height, depth,
// colour table); every frame must match it. A frame request's
// `options` points at the frame's 0-based position (uint32_t), or is none for
// position 0; positions may skip ahead, and the frame before a gap is
// repeated until the next. A close request's `options`, when given, points at
// the position where the stream ends (uint32_t): the last frame is repeated
// until there.
int AviOpen(Stream* stream, StreamOpenRequest* request);
int AviWriteFrame(Stream* stream, StreamFrameRequest* request);
int AviClose(Stream* stream, StreamCloseRequest* request);

extern const FileFormat kAviFormat;

// ---- The two halves -----------------------------------------------------------
// The stream operations above live once, in avi.cpp: the stream's state, the
// temporary file, the checks every frame passes, the size limit, and putting
// the finished file in place. Behind them one half does the file work: Video
// for Windows (avi_vfw_win32.cpp) or our own RIFF writer (avi_riff.cpp).
// Each provides these.
struct AviWriter;  // a file being written

// Starts writing into `temp` (an empty file made for it, named `tempName`;
// the writer closes it) frames of `first`'s format at `rate` frames per
// second; `owner` owns any dialog. None, with *error set, on failure or when
// the user cancelled.
AviWriter* AviWriterCreate(FileHandle* temp, const char* tempName, const Image* first, uint32_t rate, uint32_t scale,
                           void* owner, Status* error);
// Writes a frame that fits the format at `position`, after empty frames (the
// frame before repeated) up to there, counting a unit a byte on `work` when
// given. With no frame, only the empty frames: the stream's end. On failure
// (or a stop), *lost says whether the file can no longer be completed.
Status AviWriterWrite(AviWriter* writer, const Image* frame, uint32_t position, bool* lost, WorkMeter* work);
// The frames written so far, the empty ones among them.
uint32_t AviWriterFrames(const AviWriter* writer);
// Completes the file on disk and frees the writer; false when that failed.
bool AviWriterFinish(AviWriter* writer);
// Frees the writer of a file that is not wanted any more.
void AviWriterFree(AviWriter* writer);

// ---- Shared by the Windows and the portable halves --------------------------

// The bitmap info header of 24-bit frames of `first`'s size (40 bytes).
void AviHeader24(const Image* first, uint8_t* out);

// A palette frame's rows as 24-bit rows (bottom-up, padded to 4 bytes), as
// many bytes as AviHeader24 says, through a table of its colours.
void AviWidenRows(const Image* frame, uint8_t* out);

// A palette frame's colour table as 256 entries of a bitmap info header,
// those past the frame's own black.
void AviFrameColorTable(const Image* frame, uint8_t (&table)[256 * 4]);

