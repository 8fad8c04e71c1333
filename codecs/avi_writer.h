// The AVI file writer that both halves of the AVI stream share: one video
// stream of frames already encoded (plain rows, or a compressor's output),
// written straight to a file of any length.
//
// Up to kAviPartSize the file is a classic AVI 1.0 file: RIFF 'AVI ' with
// the headers, the 'movi' list and an idx1 index. Past it the file becomes
// an OpenDML (AVI 2.0) file, as ffmpeg and the common players read them:
// more RIFF 'AVIX' parts of their own 'movi' lists, a standard index ('ix00')
// at the end of every part's 'movi' list, the super index ('indx') in the
// stream header list pointing at those, and the 'odml' list's 'dmlh' header
// with the count of all frames. The first part keeps its idx1 for readers
// that know only AVI 1.0 (they see the frames of that part).
//
// Memory holds the index entries of the part being written (and the idx1
// entries of the first part while it is written), never frames.
#pragma once

#include <cstdint>

#include "formats/format.h"

struct FileHandle;

// The size at which a RIFF part ends: AVI 1.0 readers keep offsets in 32 bits
// and many stop at 1 GiB.
constexpr uint64_t kAviPartSize = uint64_t{1} << 30;
// The parts one super index can name: files up to 256 GiB.
constexpr uint32_t kAviMaxParts = 256;

struct AviVideoFormat {
    const uint8_t* format = nullptr;  // the bitmap info header and colour table that strf holds
    uint32_t formatSize = 0;
    uint32_t handler = 0;    // strh's codec: 'DIB ' for plain rows, the compressor's otherwise
    uint32_t rate = 1;       // frames per second = rate / scale
    uint32_t scale = 1;
    uint32_t quality = 0xFFFFFFFFu;  // the compressor's, or the default
};

struct AviFileWriter;
struct AviWriter;

// Starts the file at the current position of `file` (an empty file), which
// the writer does not own. None, with *error set, on failure.
AviFileWriter* AviFileWriterCreate(FileHandle* file, const AviVideoFormat& format, Status* error);
// One frame of `size` bytes ('00db' for plain rows, '00dc' for compressed
// ones). A frame of 0 bytes repeats the frame before it, as players read it.
// Counts the frame's bytes on `work` when given: a stop fails with kErrorWrite.
Status AviFileWriterFrame(AviFileWriter* writer, const uint8_t* data, uint32_t size, bool keyFrame, WorkMeter* work);
// For 8-bit frames: the colour table (256 entries of blue, green, red, 0, as
// a bitmap info header's) of the next frame. Where it differs from the one
// before (at first the format's), a palette change ('00pc') with the entries
// that changed goes before the frame.
Status AviFileWriterColorTable(AviFileWriter* writer, const uint8_t* table);
uint32_t AviFileWriterFrames(const AviFileWriter* writer);
// Ends the last part, writes its indexes and the final headers; the file
// stays open. False when that failed.
bool AviFileWriterFinish(AviFileWriter* writer);
void AviFileWriterFree(AviFileWriter* writer);

// The file that each half's AviWriter (avi.h) writes, which it owns, and the
// writer into it.
struct AviOutput {
    FileHandle* file;
    AviFileWriter* writer;
};
// Where the half (avi_riff.cpp, avi_vfw_win32.cpp) keeps it.
AviOutput& AviWriterOutput(AviWriter* writer);

// For tests: a smaller part size, to make OpenDML files of a few frames;
// 0 restores kAviPartSize.
void AviInjectPartSize(uint64_t bytes);
