// Saving: the save driver that turns a saver's MemBuffer into a file, the
// stream driver that builds a multi-frame file piece by piece, and the
// save-dialog filters and default extensions built from the registry.
//
// Savers and stream steps never touch files; only these drivers do. A file is
// always written under a temporary name in its own directory and put in place
// only once it is complete, so a failed save leaves what was there before.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "formats/format.h"
#include "formats/mem_buffer.h"

// Paths (UTF-8) are built in buffers of this many bytes, NUL included:
// POSIX's usual PATH_MAX, and room on Windows for names past its 260
// characters, which go to the system in the long-path form.
constexpr size_t kMaxPath = 4096;

struct SaveRequest {
    FormatId formatId;   // in: format to encode in
    void* options;       // in: format-specific option record, or none for the defaults
    MemBuffer* output;   // out: the encoded file, owned by the caller from then on
    Status error;        // out; cancelled when `work` stopped the save
    // Where the save counts its work and sees a stop (a cancel): the saver
    // and the driver ask it every kWorkCheckInterval units, and once more
    // right before the file is put in place. None: never stopped.
    WorkMeter* work = nullptr;
};

// One multi-frame output file in the making; made by StreamOpen, all zero at first.
struct Stream {
    FormatId formatId;
    char fileName[kMaxPath];  // the file the stream ends up as
    int32_t mode;             // 1 write, the only mode that the formats' streams open
    int32_t frameRate;        // for an open in read mode, which no format has
    int32_t frameCount;       // for an open in read mode, which no format has
    void* state;              // the format's own; made by its open, released by its close
    MemBuffer* pending;       // where a step writes its output, which is not yet in the file
    // Set before the format's close runs for a stream whose file is not
    // wanted. A format that writes its own file (not through `pending`,
    // as AVI does) removes that file then.
    int32_t abandoned;
    // The driver's own: where the pieces go until the stream is complete.
    char tempName[kMaxPath];
    int32_t tempCreated;
    int32_t failed;  // a piece could not be written: the file is gone, only an end remains
    WorkMeter* work;  // from the open request: every step asks it, as a save does
    const StreamOps* ops;  // the registry row's, or the open request's
};

struct StreamOpenRequest {
    FormatId formatId;
    const char* fileName;
    int32_t mode;
    Image* image;     // the first frame
    void* options;
    Status error;
    WorkMeter* work = nullptr;  // write mode: where the stream's steps see a stop, or none
    // A writer for a format whose registry row offers no stream (Pro Motion
    // animations, which exports write frame by frame); none: the row's.
    const StreamOps* ops = nullptr;
};

struct StreamFrameRequest {
    Image* image;
    uint32_t delay;   // milliseconds
    void* options;
    Status error;
};

struct StreamCloseRequest {
    Image* image;     // the last frame
    void* options;
    Status error;
};

// What a stream's readFrame would take (read mode); no format has one.
struct StreamReadRequest {
    Image* image;     // not read
    int32_t frame;    // the frame to read, from 0
    void* options;    // not read
    Status error;
};

// The first registered format with request->formatId and a saver, or none.
const FileFormat* FormatFindSaver(const SaveRequest* request);

// Runs the registered saver of request->formatId. 1 with request->output set;
// 0 with request->error set (1 when the format has no saver).
int FormatSave(Image* image, SaveRequest* request);

// Encodes and writes a file. 1 only when the whole file is in place; on any
// failure the file that was there before is unchanged, no temporary file is
// left, and request->error says why (6 when the file could not be written).
int ImageSaveFile(Image* image, const char* fileName, SaveRequest* request);

// The stream driver. A format step writes its output into stream->pending,
// an empty buffer that the driver owns; after a step that went well the
// driver appends what it holds to the stream's file, after one that failed
// it drops it. A format's close always releases its state, whether it
// succeeds or not.
//
// StreamOpen: the Stream, or none with request->error set; cancelled when
//   the user cancelled (a dialog of the format's open, or the meter), which
//   is no failure. A step stopped by the stream's meter ends cancelled too,
//   and StreamClose then puts nothing in place.
// StreamWriteFrame: 1, or 0. After any failure the Stream remains and its
//   owner ends it with StreamClose or StreamAbandon. When the file could not
//   be written (6 "Write error") the unfinished file is removed at once, and
//   every later step fails the same way.
// StreamClose: 1 when the file is complete and in place. Always ends the
//   Stream; on failure nothing is left behind.
// StreamAbandon: ends a stream without finishing it: the format's close runs
//   with `abandoned` set so that it can release its state, its output is
//   dropped, and no unfinished file remains. The request is what StreamClose
//   would get (the last frame written).
Stream* StreamOpen(StreamOpenRequest* request);
int StreamWriteFrame(Stream* stream, StreamFrameRequest* request);
int StreamClose(Stream* stream, StreamCloseRequest* request);
void StreamAbandon(Stream* stream, StreamCloseRequest* request);

// A save-dialog filter: pairs of NUL-terminated texts (display text, pattern
// list) ended by an extra NUL, and the format id of each pair in order.
struct FormatFilterList {
    FormatId ids[kFormatSlots];
    char text[1024];
};

// Which formats FormatFilter lists: all flags given must hold.
enum FormatFilterFlags : int {
    kFilterLoad = 1,        // has a loader
    kFilterSave = 2,        // has a saver
    kFilterReadFrames = 4,  // has a stream that reads frames (none has)
    kFilterWriteFrames = 8, // has a stream that writes frames
};

// Lists the registered formats that have every capability in `flags`, and
// only format `id` unless id is 0 or less. Starts with an "All supported
// files" entry when flag 2 is clear and id is -1. Entries that would not fit
// in the text are left out. Returns 1.
int FormatFilter(FormatFilterList* list, int flags, FormatId id);

// Copies the n-th extension (from 0) of the format, without a dot, into
// output (outputSize bytes). 1 when it exists and fits, else 0. Extension 0
// is the format's default.
int FormatExtension(FormatId id, char* output, int n, size_t outputSize);

// For formats that write their own file rather than through `pending` (AVI):
// the same temporary file and complete writes that the drivers use.
//
// Creates a new, empty file beside `target` and puts its name in `tempName`
// (kMaxPath bytes): "~mvr" and eight random hex digits, created exclusively,
// so an existing file is never reused and leftovers never block a save. The
// file stays pending until it is put in place or discarded.
FileHandle* FileCreateTempBeside(const char* target, char* tempName);
// Puts a complete temporary file in place of `target`; 1 on success. Not
// once `work` has stopped or been asked to stop, nor after an interrupt
// (SaveRemovePendingFiles): 0 then, the temporary file left for the caller
// to discard. The question and the step are one: a stop through SaveStop
// comes wholly before it (no file is put in place) or wholly after.
int TempFilePutInPlace(const char* tempName, const char* target, const WorkMeter* work = nullptr);
// Asks a save to stop through the flag its meter watches, so that a file
// being put in place is either in place or not begun when this returns.
void SaveStop(std::atomic<bool>* flag);
// Removes an unfinished temporary file.
void TempFileDiscard(const char* tempName);
// Removes every pending temporary file (safe in a POSIX signal handler).
void SaveRemovePendingFiles();
// For a program that is being interrupted: no file is put in place from
// now on, and every pending temporary file is removed. Safe in a POSIX
// signal handler, which interrupts the thread it runs on and so passes
// `wait` false; a handler on a thread of its own (Windows' console handler)
// passes true and waits for a file being put in place to be there first.
void SaveInterrupt(bool wait);
// For tests: files are put in place again after SaveInterrupt.
void SaveInterruptReset();
// Writes every byte or reports failure (a short write is a failure). With
// `work`, a megabyte at a time, counting a unit a byte: false once it stops.
bool FileWriteAll(FileHandle* file, const uint8_t* data, int64_t size, WorkMeter* work = nullptr);

// For tests: makes the n-th file write of the save and stream drivers from
// now on (1 is the next one) fall short, as on a full disk. 0 disarms it.
void SaveInjectWriteFailure(int nth);
