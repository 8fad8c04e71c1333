// AVI video, a stream-only format: no probe, loader or saver, only the four
// stream operations. Write mode builds an AVI file frame by frame; read mode
// gives single frames of the first video stream of an AVI file.
//
// On Windows both go through Video for Windows, with the compressor chosen by
// the user in the system's "Video Compression" dialog (avi_vfw_win32.cpp).
// Elsewhere a small writer and reader of uncompressed AVI 1.0 files stand in
// (avi_riff.cpp): one 'DIB ' video stream with the frames' rows as they lie
// in memory, an idx1 index, and no dialog.
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
    void* owner;    // the window that owns the compression dialog (an HWND), or none
    uint32_t rate;  // frames per second; 0 counts as 1
};

// The frame rate of an export: 1000 / the first frame's delay in ms, with
// delays below 10 ms counted as 10 (so at most 100 frames per second) and at
// least 1 frame per second, so that a delay above 1 s does not give a stream
// of rate 0.
uint32_t AviFrameRate(uint32_t firstDelayMs);

// Frames per second of a stream header's rate / scale, rounded down but at
// least 1; a scale of 0, found in damaged files, counts as 1.
int32_t AviHeaderRate(uint32_t rate, uint32_t scale);

// Classic AVI 1.0 readers keep offsets in 32 bits and many stop at 1 GiB, so
// the writers stop before a file grows past this: the frame that would pass it
// fails with "Write error" and the unfinished file is removed.
constexpr uint64_t kAviMaxFileSize = uint64_t{1} << 30;
uint64_t AviSizeLimit();
// For tests: a lower limit; 0 restores kAviMaxFileSize.
void AviInjectSizeLimit(uint64_t bytes);

// The stream operations, in the slots of StreamOps. Write mode: the open
// request's `image` is the first frame and fixes the stream's format (width,
// height, depth, colour table); every frame must match it. A frame request's
// `options` points at the frame's 0-based position (uint32_t), or is none for
// position 0. Read mode: readFrame returns an image that the stream owns and
// overwrites on the next read.
int AviOpen(Stream* stream, StreamOpenRequest* request);
Image* AviReadFrame(Stream* stream, StreamReadRequest* request);
int AviWriteFrame(Stream* stream, StreamFrameRequest* request);
int AviClose(Stream* stream, StreamCloseRequest* request);

extern const FileFormat kAviFormat;

// ---- The two halves -----------------------------------------------------------
// The stream operations above live once, in avi.cpp: the stream's state, the
// temporary file, the checks every frame passes, the size limit, and putting
// the finished file in place. Behind them one half does the file work: Video
// for Windows (avi_vfw_win32.cpp) or our own RIFF writer and reader
// (avi_riff.cpp). Each provides these.
struct AviWriter;  // a file being written
struct AviReader;  // a file being read

// Starts writing into `temp` (an empty file made for it, named `tempName`;
// the writer closes it) frames of `first`'s format at `rate` frames per
// second; `owner` owns any dialog. None, with *error set, on failure; none
// with no error when the user cancelled.
AviWriter* AviWriterCreate(FileHandle* temp, const char* tempName, const Image* first, uint32_t rate, void* owner,
                           ErrorCode* error);
// The file's size after one more frame of `frameBytes` bytes, for the size limit.
uint64_t AviWriterSizeAfter(const AviWriter* writer, uint64_t frameBytes);
// Writes a frame that fits the format at `position`, counting a unit a byte
// on `work` when given. On failure (or a stop), *lost says whether the file
// can no longer be completed.
ErrorCode AviWriterWrite(AviWriter* writer, const Image* frame, uint32_t position, bool* lost, WorkMeter* work);
// Completes the file on disk and frees the writer; false when that failed.
bool AviWriterFinish(AviWriter* writer);
// Frees the writer of a file that is not wanted any more.
void AviWriterFree(AviWriter* writer);

// Opens the first video stream of a file. None, with *error set, on failure.
AviReader* AviReaderOpen(const char* fileName, int32_t* frameCount, int32_t* frameRate, ErrorCode* error);
// Frame `frame` (within the count) in an image the reader owns and overwrites
// on the next read; none, with *error set, on failure.
Image* AviReaderFrame(AviReader* reader, int32_t frame, ErrorCode* error);
void AviReaderFree(AviReader* reader);

// ---- Shared by the Windows and the portable halves --------------------------

// A stream's bitmap format as read from a file, checked: a header of at least
// 40 bytes within `size`, a picture that an Image can hold, and a depth of 8,
// 16, 24 or 32 bits. 0 when it is not usable.
bool AviFormatUsable(const uint8_t* format, uint32_t size);

// The bytes of one uncompressed frame of a usable format: rows padded to 4 bytes.
uint64_t AviFrameSize(const uint8_t* format);

// Whether frames of this format are stored as plain rows that can be copied
// without a decompressor.
bool AviFormatUncompressed(const uint8_t* format);

// The image that every frame of a stream is read into: the format's size and
// depth, black at first, with the format's colour table for 8-bit frames.
Image* AviCreateFrameImage(const uint8_t* format, uint32_t formatSize);

// Copies one uncompressed frame of the format into the image (bottom-up or
// top-down rows). kErrorInvalidData when the frame holds too few bytes.
ErrorCode AviCopyFrame(const uint8_t* format, const uint8_t* data, uint64_t size, Image* image);
