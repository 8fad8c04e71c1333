// Exports and extract-all from the viewer, on a worker: the lister keeps
// painting and playing while a small progress window, owned by the lister's
// top-level window, counts the frames read and written, names the file
// and fills a bar, with Cancel (and Esc).
//
// The job reads its own frame source of the file, so playback and the export
// never share a decoder. A cancel, or closing the lister, stops the worker
// within a bounded amount of work (the export's meter and the source's
// watch the same flag); an animation stopped so leaves no file, and an
// existing file stays as it was.
#pragma once

#include <windows.h>

#include "codecs/export.h"
#include "formats/format.h"

struct ExportJob;

struct ExportJobParams {
    HINSTANCE module;         // the library, for the progress window's class
    HWND lister;              // posted `doneMessage` when the worker ends
    UINT doneMessage;
    bool numberedFiles;       // one file per frame, or one animation
    FormatId formatId;
    const char* fileName;     // the file, or the start of the numbered names
    const char* sourcePath;   // the file shown
    int32_t firstFrame;       // the frame to start from
    int32_t frames;           // the frames from there on as far as known, for the count shown at once
};

// Starts the job. An AVI export opens its file here, with the compressor's
// dialog, before the worker writes. None when it ended before the worker
// started, with `error` saying why (or that the user cancelled).
ExportJob* ExportJobStart(const ExportJobParams& params, Status* error);

// Ends the job: cancels it when it is still running, closes the progress
// window and lets go of it. Waits for the worker at most kExportEndWait ms:
// a worker still running then ends on its own, frees what is left of the
// job and lets go of the library (which it holds while it runs, since the
// host may unload it once the lister is gone); it never touches the windows
// again. What ended the job: ok when it succeeded or still runs, cancelled,
// or the failure (a write error with the system's reason).
Status ExportJobEnd(ExportJob* job);
constexpr DWORD kExportEndWait = 100;
