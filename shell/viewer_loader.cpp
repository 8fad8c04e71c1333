// The frames after the first, decoded on a worker thread while the first ones
// play, so that a window shows its file as soon as the first frame is there.
//
// The worker only steps the load: it sends no message and touches nothing of
// the window, so the window may wait for it at any time. The window learns of
// new frames from the load's published count on its timer ticks, and shows or
// steps to none beyond it. Whatever ends the window's use of a load (the
// window's end, the next file) cancels it, which the decoders notice within
// a bounded amount of work, and joins the worker before the frames are freed.
#include <windows.h>

#include <cstring>

#include "formats/format.h"
#include "shell/viewer.h"

namespace {

DWORD WINAPI DecodeRest(void* parameter) {
    auto* state = static_cast<ViewerState*>(parameter);
    while (!InterlockedCompareExchange(&state->stopWorker, 0, 0) && ProgressiveStep(state->load)) {
    }
    // The thread holds the library, so that it cannot be unloaded under the
    // thread's last instructions.
    FreeLibraryAndExitThread(gModule, 0);
}

// A thread of its own for the worker, holding the library; none when there
// is no thread to be had.
HANDLE StartWorker(ViewerState* state) {
    HMODULE held = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&DecodeRest), &held))
        return nullptr;
    InterlockedExchange(&state->stopWorker, 0);
    HANDLE thread = CreateThread(nullptr, 0, DecodeRest, state, 0, nullptr);
    if (!thread) FreeLibrary(held);
    return thread;
}

}  // namespace

ProgressiveLoad* ViewerOpenFile(const char* fileName) {
    LoadRequest request{};
    return ProgressiveOpenFile(fileName, &request);
}

void ViewerStartDecoding(ViewerState* state, ProgressiveLoad* load) {
    state->load = load;
    state->first = ProgressiveFirst(load);
    state->current = state->first;
    bool complete = false;
    ProgressiveFrames(load, &complete);
    if (complete) return;
    state->worker = StartWorker(state);
    if (state->worker) return;
    while (ProgressiveStep(load)) {  // no thread: the whole file now, as a load without one
    }
}

void ViewerStopDecoding(ViewerState* state) {
    if (!state->worker) return;
    // The load is abandoned: the frame under way stops within a bounded
    // amount of decoding (the work meter looks for the cancel every 2^18
    // units), so this wait is short whatever the file holds. It cannot be
    // cut shorter: the frames are freed after it.
    InterlockedExchange(&state->stopWorker, 1);
    ProgressiveCancel(state->load);
    WaitForSingleObject(state->worker, INFINITE);
    CloseHandle(state->worker);
    state->worker = nullptr;
}

void ViewerFreeFrames(ViewerState* state) {
    ViewerStopDecoding(state);
    ProgressiveClose(state->load);
    state->load = nullptr;
    state->first = state->current = nullptr;
}

int ViewerFramesReady(const ViewerState* state, bool* complete) {
    return ProgressiveFrames(state->load, complete);
}

bool ViewerAdvance(ViewerState* state) {
    bool complete = false;
    const int ready = ViewerFramesReady(state, &complete);
    if (state->frameCounter + 1 < ready) {
        // Below the published count, so the link to it is there to follow.
        state->current = ImageNext(state->current);
        state->frameCounter += 1;
        return true;
    }
    if (!complete) return false;  // no wrapping before the last frame is known
    state->current = state->first;
    state->frameCounter = 0;
    return true;
}

void ViewerWaitForAllFrames(HWND window) {
    ViewerState* state = ViewerGetState(window);
    if (!state || !state->worker) return;
    bool complete = false;
    const int ready = ViewerFramesReady(state, &complete);
    if (!complete) {
        // The window cannot paint while it waits: the note goes on screen now.
        char text[96];
        const int stated = ProgressiveStatedFrames(state->load);
        if (stated > ready) wsprintfA(text, "Decoding... %d of %d frames", ready, stated);
        else wsprintfA(text, "Decoding... %d frames", ready);
        if (HDC dc = GetDC(window)) {
            ViewerDrawOverlay(window, dc, text);
            GdiFlush();
            ReleaseDC(window, dc);
        }
        HCURSOR before = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
        WaitForSingleObject(state->worker, INFINITE);
        SetCursor(before);
        InvalidateRect(window, nullptr, FALSE);
    }
    ViewerStopDecoding(state);  // joins a thread that has ended
}

void ViewerLoadNote(const ViewerState* state, char* out, size_t size) {
    const ErrorCode ended = ProgressiveEndedEarly(state->load);
    LoadEndText(ended, ProgressiveFrames(state->load), ProgressiveStatedFrames(state->load), out, size);
}
