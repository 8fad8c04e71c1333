#include "shell/viewer_export.h"

#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <new>

#include "formats/frame_source.h"
#include "platform/platform.h"

namespace {

constexpr char kProgressClassName[] = "MovrelProgress";
constexpr UINT kMessageProgress = WM_APP + 2;  // the worker wrote more frames
constexpr int kCancelId = 2;                   // IDCANCEL
constexpr int kBarRange = 1000;                // the bar's positions

}  // namespace

struct ExportJob {
    HINSTANCE module = nullptr;
    HWND lister = nullptr;
    UINT doneMessage = 0;
    bool numberedFiles = false;
    char fileName[kMaxPath] = "";
    char sourcePath[kMaxPath] = "";
    FrameSource* source = nullptr;
    ExportRun* run = nullptr;  // an animation begun here (AVI), finished by the worker
    ExportRequest request;
    WorkMeter work = WorkMeter::Unbounded(&cancelled);  // the export's, watching `cancelled`
    HANDLE worker = nullptr;
    HMODULE library = nullptr;  // held by the worker while it runs
    int result = 0;
    std::atomic<bool> finished{false};  // the worker's work is done and `result` written

    // The window's side and, while it runs, the worker: the last to let go
    // frees the job.
    std::atomic<int> owners{1};
    // Held shared while the worker posts to the windows, exclusive to set
    // `windowsGone`: once that is set no message goes to a window that may
    // be destroyed (or whose handle may have been reused).
    SRWLOCK windows = SRWLOCK_INIT;
    bool windowsGone = false;

    std::atomic<bool> cancelled{false};
    std::atomic<int> done{0};
    std::atomic<int> total{0};
    std::atomic<int> read{0};  // frames read by a pass before the writing, if there is one
    std::atomic<bool> progressPosted{false};  // a progress message is on its way

    HWND progress = nullptr;  // the progress window
    HWND text = nullptr;      // its count
    HWND file = nullptr;      // the file being written
    HWND bar = nullptr;
    bool barHalved = false;   // a pass came first: it fills the bar's first half, the writing the rest
};

namespace {

// ---- The worker ---------------------------------------------------------------------

// Posts to one of the job's windows while they are there.
void PostToWindow(ExportJob* job, HWND window, UINT message) {
    AcquireSRWLockShared(&job->windows);
    if (!job->windowsGone) PostMessageA(window, message, 0, 0);
    ReleaseSRWLockShared(&job->windows);
}

void Free(ExportJob* job) {
    FrameSourceClose(job->source);
    delete job;
}

// One side lets go of the job; the last frees it.
void Release(ExportJob* job) {
    if (job->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) Free(job);
}

// One message at a time: a fast export does not flood the window.
void PostProgress(ExportJob* job) {
    if (!job->progressPosted.exchange(true)) PostToWindow(job, job->progress, kMessageProgress);
}

bool FrameDone(void* context, int done, int total) {
    auto* job = static_cast<ExportJob*>(context);
    job->done.store(done, std::memory_order_relaxed);
    job->total.store(total, std::memory_order_relaxed);
    PostProgress(job);
    return !job->cancelled.load(std::memory_order_relaxed);
}

void FrameRead(void* context, int read, int total) {
    auto* job = static_cast<ExportJob*>(context);
    job->read.store(read, std::memory_order_relaxed);
    job->total.store(total, std::memory_order_relaxed);
    PostProgress(job);
}

bool OpenSource(ExportJob* job) {
    LoadRequest load{};
    job->source = FrameSourceOpenFile(job->sourcePath, &load);
    if (!job->source) {
        job->request.error = load.error;
        return false;
    }
    // A cancel stops the frame being decoded within a bounded amount of work.
    FrameSourceWork(job->source).watch(&job->cancelled);
    job->request.source = job->source;
    return true;
}

void Export(ExportJob* job) {
    if (job->source || OpenSource(job)) {
        if (job->numberedFiles)
            job->result = ExportNumberedFiles(&job->request);
        else if (job->run)
            job->result = ExportAnimationFinish(job->run, &job->request);
        else
            job->result = ExportAnimation(&job->request);
        job->run = nullptr;
        // A cancel also stops the frame being decoded, which the export then
        // takes for a file without frames: no failure of the user's.
        if (!job->result && job->cancelled) job->request.error = Status::Cancelled();
    }
}

void Work(void* context) {
    auto* job = static_cast<ExportJob*>(context);
    // The exports end as out of memory where a container cannot grow; nothing
    // they throw reaches this thread.
    Export(job);
    job->finished.store(true, std::memory_order_release);
    PostToWindow(job, job->lister, job->doneMessage);
}

// The worker's thread: it lets go of the job, then of the library, in the
// one call that cannot return into a library that may be gone.
DWORD WINAPI WorkerMain(void* context) {
    auto* job = static_cast<ExportJob*>(context);
    HMODULE library = job->library;
    Work(job);
    Release(job);
    if (library) FreeLibraryAndExitThread(library, 0);
    return 0;
}

// Starts the worker, holding the library for it; false when no thread can be had.
bool StartWorker(ExportJob* job) {
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerMain),
                            &job->library))
        job->library = nullptr;
    job->owners.store(2);
    job->worker = CreateThread(nullptr, 0, WorkerMain, job, 0, nullptr);
    if (job->worker) {
        // Below normal, as every worker: it never competes with the window.
        SetThreadPriority(job->worker, THREAD_PRIORITY_BELOW_NORMAL);
        return true;
    }
    job->owners.store(1);
    if (job->library) FreeLibrary(job->library);
    job->library = nullptr;
    return false;
}

// ---- The progress window ------------------------------------------------------------

// The count, the file being written (numbered files: the next one) and
// the bar, from what the worker last told.
void ShowCount(ExportJob* job) {
    job->progressPosted.store(false);
    char line[96];
    const int done = job->done.load(std::memory_order_relaxed);
    const int read = job->read.load(std::memory_order_relaxed);
    const int total = job->total.load(std::memory_order_relaxed);
    int position = 0;
    if (read > 0) job->barHalved = true;
    const int base = job->barHalved ? kBarRange / 2 : 0;
    if (job->cancelled) {
        lstrcpyA(line, "Cancelling...");
    } else if (done == 0 && read > 0 && total > 0) {
        wsprintfA(line, "Reading the frames: %d of %d", read, total);
        position = MulDiv(read, base, total);
    } else if (total > 0) {
        wsprintfA(line, "%d of %d frames written", done, total);
        position = base + MulDiv(done, kBarRange - base, total);
    } else {
        lstrcpyA(line, "Reading the frames...");
    }
    SetWindowTextA(job->text, line);
    if (!job->cancelled) SendMessageA(job->bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    if (job->numberedFiles && total > 0) {
        char name[kMaxPath];
        const int next = done < total ? done : total - 1;
        if (ExportNumberedName(job->fileName, job->request.formatId, next, total, name, sizeof name))
            SetWindowTextW(job->file, WideFromUtf8(name).c_str());
    }
}

void Cancel(ExportJob* job) {
    SaveStop(&job->cancelled);  // a file being put in place is there, or will not be
    ShowCount(job);
}

LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams));
    auto* job = reinterpret_cast<ExportJob*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!job) return DefWindowProcA(window, message, wparam, lparam);
    switch (message) {
        case kMessageProgress: ShowCount(job); return 0;
        case WM_COMMAND:
            if (LOWORD(wparam) == kCancelId) Cancel(job);
            return 0;
        case WM_KEYDOWN:
            if (wparam == VK_ESCAPE) Cancel(job);
            return 0;
        case WM_CLOSE: Cancel(job); return 0;  // the window goes when the worker has stopped
        default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

// A small window over the lister, owned by the lister's top-level window:
// the count, the file, a bar and Cancel.
HWND CreateProgress(ExportJob* job, const char* caption) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = ProgressProc;
    windowClass.hInstance = job->module;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kProgressClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when registered before
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    RECT frame{0, 0, scaled(360), scaled(128)};
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    RECT lister;
    GetWindowRect(job->lister, &lister);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const int x = (lister.left + lister.right - width) / 2, y = (lister.top + lister.bottom - height) / 2;
    HWND owner = GetAncestor(job->lister, GA_ROOT);
    HWND window = CreateWindowExA(WS_EX_DLGMODALFRAME, kProgressClassName, caption, style, x, y, width, height, owner,
                                  nullptr, job->module, job);
    if (!window) return nullptr;
    // Unicode controls: the file's name is shown as it is.
    auto child = [&](const wchar_t* windowClass, const wchar_t* text, DWORD childStyle, int left, int top, int w, int h,
                     int id) {
        HWND control = CreateWindowExW(0, windowClass, text, WS_CHILD | WS_VISIBLE | childStyle, scaled(left), scaled(top),
                                       scaled(w), scaled(h), window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                       job->module, nullptr);
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        return control;
    };
    // The count is the first of the texts.
    job->text = child(L"STATIC", L"", 0, 12, 12, 336, 18, 0);
    job->file = child(L"STATIC", WideFromUtf8(job->fileName).c_str(), SS_PATHELLIPSIS | SS_NOPREFIX, 12, 32, 336, 18, 0);
    job->bar = child(PROGRESS_CLASSW, L"", 0, 12, 56, 336, 16, 0);
    SendMessageA(job->bar, PBM_SETRANGE32, 0, kBarRange);
    child(L"BUTTON", L"Cancel", BS_PUSHBUTTON, 272, 88, 76, 26, kCancelId);
    ShowWindow(window, SW_SHOW);
    SetFocus(window);  // Esc cancels
    return window;
}

// The window's side lets go: no message reaches the windows from now on.
void CloseWindows(ExportJob* job) {
    AcquireSRWLockExclusive(&job->windows);
    job->windowsGone = true;
    ReleaseSRWLockExclusive(&job->windows);
    if (job->progress) DestroyWindow(job->progress);
    job->progress = nullptr;
}

}  // namespace

ExportJob* ExportJobStart(const ExportJobParams& params, Status* error) {
    *error = {};
    auto* job = new (std::nothrow) ExportJob;
    if (!job) {
        *error = kErrorOutOfMemory;
        return nullptr;
    }
    job->module = params.module;
    job->lister = params.lister;
    job->doneMessage = params.doneMessage;
    job->numberedFiles = params.numberedFiles;
    lstrcpynA(job->fileName, params.fileName, kMaxPath);
    lstrcpynA(job->sourcePath, params.sourcePath, kMaxPath);
    job->request.formatId = params.formatId;
    job->request.fileName = job->fileName;
    job->request.firstFrame = params.firstFrame;
    job->request.owner = params.lister;
    job->request.progress = {FrameDone, job, FrameRead};
    job->total.store(params.frames > 0 ? params.frames : 0);
    job->request.work = &job->work;

    // The compressor's dialog is the user's, on the lister's thread: the
    // file is opened here, and only the frames are written on the worker.
    if (params.formatId == kFormatAvi && !params.numberedFiles) {
        if (OpenSource(job)) job->run = ExportAnimationBegin(&job->request);
        if (!job->run) {
            *error = job->request.error;
            Release(job);
            return nullptr;
        }
    }
    job->progress = CreateProgress(job, params.numberedFiles ? "Extracting frames" : "Exporting");
    ShowCount(job);
    if (!StartWorker(job)) Work(job);  // no thread to be had: here and now
    return job;
}

Status ExportJobEnd(ExportJob* job) {
    SaveStop(&job->cancelled);  // no more frames, if it is still writing
    if (job->worker) {
        if (!job->finished.load(std::memory_order_acquire)) WaitForSingleObject(job->worker, kExportEndWait);
        CloseHandle(job->worker);
        job->worker = nullptr;
    }
    // A worker still running was cancelled: it ends on its own, with nothing to say.
    Status error;
    if (job->finished.load(std::memory_order_acquire) && !job->result) error = job->request.error;
    CloseWindows(job);
    Release(job);
    return error;
}
