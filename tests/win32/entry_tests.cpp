// What the file manager sees: the version resource, ListLoad,
// ListSendCommand, the clipboard, and windows coming and going.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "image/convert.h"
#include "resources/resource.h"
#include "tests/win32/host.h"

using entry = HostTest;
using clipboard = HostTest;
using lifecycle = HostTest;
using leaks = HostTest;

namespace {

bool HasChildWindow(HWND parent) { return GetWindow(parent, GW_CHILD) != nullptr; }

std::vector<uint8_t> ClipboardDib(HWND owner) {
    std::vector<uint8_t> bytes;
    if (!OpenClipboard(owner)) return bytes;
    if (HANDLE data = GetClipboardData(CF_DIB)) {
        const auto* p = static_cast<const uint8_t*>(GlobalLock(data));
        if (p) bytes.assign(p, p + GlobalSize(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    return bytes;
}

std::vector<uint8_t> PackedDib(const Image* frame) {
    const auto* header = reinterpret_cast<const uint8_t*>(ImageHeader(frame));
    std::vector<uint8_t> bytes(header, header + ImageHeaderSize(frame));
    bytes.insert(bytes.end(), ImageBits(frame), ImageBits(frame) + ImageBitsSize(frame));
    return bytes;
}

}  // namespace

TEST_F(entry, version_resource_names_this_build) {
    char path[MAX_PATH];
    GetModuleFileNameA(gPlugin.module, path, MAX_PATH);
    DWORD ignored = 0;
    std::vector<char> data(GetFileVersionInfoSizeA(path, &ignored));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, static_cast<DWORD>(data.size()), data.data()));
    auto text = [&](const char* name) {
        char* value = nullptr;
        UINT length = 0;
        const std::string key = std::string("\\StringFileInfo\\040904E4\\") + name;
        return VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) && value ? std::string(value)
                                                                                                            : std::string();
    };
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000ul);
    EXPECT_EQ(fixed->dwFileVersionLS, 0ul);
    EXPECT_EQ(text("FileVersion"), MOVREL_VERSION_TEXT);
    // The 32-bit and the 64-bit DLL each name themselves.
    EXPECT_EQ(text("OriginalFilename"), sizeof(void*) == 8 ? "Movrel.wlx64" : "Movrel.wlx");
}

TEST_F(entry, list_load_creates_a_playing_viewer) {
    Lister lister(gFiles.sample, 0);
    ASSERT_TRUE(lister.viewer());
    EXPECT_EQ(GetParent(lister.viewer()), lister.parent());
    // A visible child, without scroll bars for a frame that fits.
    EXPECT_EQ(static_cast<unsigned long>(GetWindowLongA(lister.viewer(), GWL_STYLE)), 0x50000000ul);
    const ViewerState* s = lister.state();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->current, s->first);
    EXPECT_EQ(ImageCount(s->first), 24);
    EXPECT_EQ(s->frameCounter, 0);
    EXPECT_EQ(std::make_pair(s->paused, s->singleStep), std::make_pair(0, 0));
    EXPECT_EQ(std::make_pair(s->fitToWindow, s->showFrameNumber), std::make_pair(0, 0));
    EXPECT_EQ(std::string(s->path), gFiles.sample);
    // Only the fit bit of the show flags counts.
    for (int flags : {1, 2, 3, 6, 0x10}) {
        Lister other(gFiles.still, flags);
        ASSERT_TRUE(other.state());
        EXPECT_EQ(other.state()->fitToWindow, flags & 2) << "flags " << flags;
    }
}

TEST_F(entry, list_load_refuses_what_it_cannot_show) {
    for (const std::string* file : {&gFiles.missing, &gFiles.empty, &gFiles.unknown, &gFiles.broken}) {
        Lister lister(*file, 0);
        EXPECT_FALSE(lister.viewer()) << *file;
        EXPECT_FALSE(HasChildWindow(lister.parent())) << *file;
    }
    // A file cut short shows the frames before the damage.
    Lister damaged(gFiles.damaged, 0);
    ASSERT_TRUE(damaged.state());
    EXPECT_GT(ImageCount(damaged.state()->first), 0);
    EXPECT_LT(ImageCount(damaged.state()->first), 24);
}

TEST_F(entry, names_outside_the_ansi_code_page_and_past_260_characters) {
    const std::vector<uint8_t> sample = ReadBytes(gFiles.sample);
    // Folders of 120 Cyrillic letters: past the plain form's 260 characters.
    std::string longName = gFiles.dir;
    for (const char* letter : {"д", "ж"}) {
        longName += "\\";
        for (int i = 0; i < 120; ++i) longName += letter;
        ASSERT_TRUE(CreateDirectoryW(Wide(longName).c_str(), nullptr)) << GetLastError();
    }
    longName += "\\кино 動画.flc";
    WriteBytes(longName, sample);
    ASSERT_GT(WideFromUtf8(longName.c_str()).size(), 260u);
    {
        Lister lister(longName, 0);
        ASSERT_TRUE(lister.state());
        EXPECT_EQ(std::string(lister.state()->path), longName);
        EXPECT_EQ(ImageCount(lister.state()->first), 24);
    }
    // The ANSI entry point takes names in the ANSI code page.
    const std::string accented = gFiles.dir + "\\café.flc";
    WriteBytes(accented, sample);
    char ansi[MAX_PATH];
    BOOL lossy = FALSE;
    ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, WideFromUtf8(accented.c_str()).c_str(), -1, ansi, sizeof ansi, nullptr, &lossy), 0);
    if (!lossy) {
        Lister lister(gFiles.still, 0);
        HWND viewer = gPlugin.listLoad(lister.parent(), ansi, 0);
        ASSERT_TRUE(viewer);
        EXPECT_EQ(std::string(reinterpret_cast<ViewerState*>(GetWindowLongPtrA(viewer, GWLP_USERDATA))->path), accented);
        DestroyWindow(viewer);
    } else {
        Note("the ANSI code page has no \"é\": the ANSI entry point is not tried");
    }
    // A name past what the viewer keeps is refused, not cut.
    Lister tooLong(gFiles.dir + "\\" + std::string(kMaxPath, 'n') + ".flc", 0);
    EXPECT_FALSE(tooLong.viewer());
}

TEST_F(entry, list_send_command) {
    Lister lister(gFiles.sample, 0);
    HWND viewer = lister.viewer();
    ViewerState* s = lister.state();
    ASSERT_TRUE(s);
    Command(viewer, IDM_PAUSE);
    // Commands the plug-in does not use change nothing and report failure.
    auto snapshot = [&] { return std::tuple(s->current, s->fitToWindow, s->paused, s->singleStep, s->frameCounter, s->showFrameNumber); };
    const auto before = snapshot();
    for (int command : {0, 3, 5, -1, 1000}) {
        EXPECT_EQ(gPlugin.listSendCommand(viewer, command, 2), 1);
        EXPECT_EQ(snapshot(), before) << "command " << command;
    }
    // A position in percent: the sample's frames 0 to 23, paused as it was.
    const std::pair<int, int> positions[] = {{50, 12}, {100, 23}, {0, 0}, {-5, 0}, {250, 23}};
    for (const auto& [percent, frame] : positions) {
        EXPECT_EQ(gPlugin.listSendCommand(viewer, 4, percent), 0);
        EXPECT_EQ(std::make_pair(s->frameCounter, lister.currentIndex()), std::make_pair(frame, frame)) << percent;
    }
    EXPECT_EQ(s->paused, 1);
    // New parameters: only the fit bit of the show flags counts; it repaints at once.
    const std::pair<int, int> parameters[] = {{2, 2}, {0, 0}, {3, 2}, {1, 0}, {0x12, 2}, {0x10, 0}};
    for (const auto& [parameter, fit] : parameters) {
        ValidateRect(viewer, nullptr);
        EXPECT_EQ(gPlugin.listSendCommand(viewer, 2, parameter), 0);
        EXPECT_EQ(s->fitToWindow, fit);
        EXPECT_TRUE(GetUpdateRect(viewer, nullptr, FALSE));
    }
    // Not a viewer: nothing to copy.
    EXPECT_EQ(gPlugin.listSendCommand(lister.parent(), 1, 0), 1);
}

TEST_F(clipboard, copy_puts_the_frame_on_screen_as_a_packed_dib) {
    for (const std::string* file : {&gFiles.sample, &gFiles.fli}) {
        Lister lister(*file, 0);
        ASSERT_TRUE(lister.state());
        ASSERT_TRUE(WaitForFrameChange(lister));
        Command(lister.viewer(), IDM_PAUSE);
        const int index = lister.currentIndex();
        EXPECT_GT(index, 0);
        EXPECT_EQ(gPlugin.listSendCommand(lister.viewer(), 1, 0), 0);
        ChainPtr decoded = Decode(*file);
        const std::vector<uint8_t> copied = ClipboardDib(lister.parent());
        EXPECT_TRUE(copied == PackedDib(FrameAt(decoded.get(), index)));
        EXPECT_EQ(copied.size(), file == &gFiles.sample ? size_t{40 + 1024 + 320 * 200} : PackedDib(decoded.get()).size());
    }
    // The menu's Copy does the same.
    Lister lister(gFiles.still, 0);
    if (OpenClipboard(lister.parent())) {
        EmptyClipboard();
        CloseClipboard();
    }
    Command(lister.viewer(), IDM_COPY);
    ChainPtr decoded = Decode(gFiles.still);
    EXPECT_TRUE(ClipboardDib(lister.parent()) == PackedDib(decoded.get()));
}

namespace {
struct Holder {
    HANDLE ready;
    HANDLE release;
};

DWORD WINAPI HoldClipboard(void* param) {
    auto* holder = static_cast<Holder*>(param);
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        HGLOBAL text = GlobalAlloc(GMEM_MOVEABLE, 5);
        std::memcpy(GlobalLock(text), "held", 5);
        GlobalUnlock(text);
        SetClipboardData(CF_TEXT, text);
        SetEvent(holder->ready);
        WaitForSingleObject(holder->release, INFINITE);
        CloseClipboard();
    } else {
        SetEvent(holder->ready);
    }
    return 0;
}
}  // namespace

TEST_F(clipboard, copy_fails_while_another_program_holds_the_clipboard) {
    Lister lister(gFiles.sample, 0);
    Holder holder{CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, HoldClipboard, &holder, 0, nullptr);
    WaitForSingleObject(holder.ready, INFINITE);
    EXPECT_EQ(gPlugin.listSendCommand(lister.viewer(), 1, 0), 1);
    SetEvent(holder.release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(holder.ready);
    CloseHandle(holder.release);
    // What the other program put there is still there.
    ASSERT_TRUE(OpenClipboard(lister.parent()));
    EXPECT_TRUE(IsClipboardFormatAvailable(CF_TEXT));
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_DIB));
    CloseClipboard();
}

TEST_F(lifecycle, two_windows_at_once) {
    Lister first(gFiles.sample, 0, 0, 0, 330, 210);
    Lister second(gFiles.steps, 0, 400, 0, 200, 100);
    ASSERT_TRUE(first.viewer() && second.viewer());
    EXPECT_NE(first.state(), second.state());
    // Both play, each on its own.
    EXPECT_TRUE(WaitForFrameChange(first));
    EXPECT_TRUE(WaitForFrameChange(second));
    Command(first.viewer(), IDM_PAUSE);
    const int stopped = first.currentIndex();
    EXPECT_TRUE(WaitForFrameChange(second));
    EXPECT_TRUE(WaitForFrameChange(second));
    EXPECT_EQ(first.currentIndex(), stopped);
    // Each shows its own frame.
    Command(second.viewer(), IDM_PAUSE);
    ChainPtr sample = Decode(gFiles.sample);
    ChainPtr steps = Decode(gFiles.steps);
    const Image* a = FrameAt(sample.get(), first.currentIndex());
    const Image* b = FrameAt(steps.get(), second.currentIndex());
    EXPECT_EQ(CountMismatches(CaptureClient(first.viewer()), {0, 0, 320, 200}, [&](int x, int y) { return PixelColor(a, x, y); }), 0);
    EXPECT_EQ(CountMismatches(CaptureClient(second.viewer()), {0, 0, 64, 48}, [&](int x, int y) { return PixelColor(b, x, y); }), 0);
    // Closing one leaves the other working.
    first.destroyViewer();
    Command(second.viewer(), IDM_PAUSE);
    EXPECT_TRUE(WaitForFrameChange(second));
}

TEST_F(lifecycle, destroying_the_window_frees_everything) {
    {  // one-time costs: the class, fonts, caches, the first frame played and read back
        Lister warmUp(gFiles.sample, 0);
        WaitForFrameChange(warmUp);
        CaptureClient(warmUp.viewer());
    }
    const ResourceCounts before = CountResources();
    HMENU menu = nullptr;
    {
        Lister lister(gFiles.sample, 0, 0, 0, 640, 480, false);
        const ViewerState* s = lister.state();
        ASSERT_TRUE(s);
        menu = s->menu;
        WaitForFrameChange(lister);
        CaptureClient(lister.viewer());
        lister.destroyViewer();
        EXPECT_FALSE(HasChildWindow(lister.parent()));
    }
    EXPECT_FALSE(IsMenu(menu));
    const ResourceCounts after = CountResources();
    Note("heap %+lld bytes, %+d blocks; GDI %+d; USER %+d (%s)",
         static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes), after.heapBlocks - before.heapBlocks,
         after.gdiObjects - before.gdiObjects, after.userObjects - before.userObjects, after.method);
    EXPECT_LE(after.heapBytes, before.heapBytes + 1024);
    EXPECT_EQ(after.gdiObjects, before.gdiObjects);
    EXPECT_EQ(after.userObjects, before.userObjects);
}

TEST_F(leaks, the_frames_of_a_long_animation_hold_no_system_objects) {
    // The system allows a process some ten thousand; a file may have 65535 frames.
    const int before = CountResources().gdiObjects;
    Lister lister(gFiles.film, 0, 0, 0, 640, 480, false);
    ASSERT_TRUE(lister.state());
    bool complete = false;
    EXPECT_EQ(ProgressiveFrames(lister.state()->load, &complete), 1500);
    EXPECT_TRUE(complete);
    EXPECT_LT(CountResources().gdiObjects - before, 20);
}

TEST_F(lifecycle, closing_while_decoding_stops_the_worker_at_once) {
    Lister lister(gFiles.film, 0, 0, 0, 640, 480, true, false);
    ViewerState* s = lister.state();
    ASSERT_TRUE(s && s->worker);
    HANDLE worker = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), s->worker, GetCurrentProcess(), &worker, SYNCHRONIZE, FALSE, 0));

    // Halted where it is, as if the file decoded no further: playback comes
    // to the last decoded frame and stays there, ticking, without wrapping.
    InterlockedExchange(&s->stopWorker, 1);
    lister.waitDecoded();
    bool complete = false;
    const int ready = ProgressiveFrames(s->load, &complete);
    if (complete) {
        Note("the film was decoded whole before its worker could be halted");
    } else {
        ASSERT_TRUE(PumpUntil([&] { return s->frameCounter == ready - 1; }));
        EXPECT_GT(ViewerTicksWhile(lister, 5, 30), 0);
        EXPECT_EQ(s->frameCounter, ready - 1);
        EXPECT_EQ(lister.currentIndex(), ready - 1);
    }
    lister.destroyViewer();
    EXPECT_EQ(WaitForSingleObject(worker, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(worker);

    // Closed while decoding: the worker has ended when the window is gone,
    // and closing takes far less than decoding the whole film (measured in
    // this run; the shortest of three closes).
    double start = NowMs();
    { Lister whole(gFiles.film, 0, 0, 0, 640, 480, false); }
    const double decodeAll = NowMs() - start;
    double close = 1e9;
    for (int run = 0; run < 3; ++run) {
        Lister again(gFiles.film, 0, 0, 0, 640, 480, false, false);
        ASSERT_TRUE(again.state());
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), again.state()->worker, GetCurrentProcess(), &worker, SYNCHRONIZE, FALSE, 0));
        start = NowMs();
        again.destroyViewer();
        close = std::min(close, NowMs() - start);
        EXPECT_EQ(WaitForSingleObject(worker, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(worker);
    }
    Note("closed while decoding in %.2f ms; the whole film loads and decodes in %.2f ms", close, decodeAll);
    EXPECT_LT(close, decodeAll / 3);
}

namespace {
double Milliseconds(FILETIME time) { return static_cast<double>(uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) / 1e4; }

// Processor time, kernel and user, in ms: of a thread, or of the whole
// process (its ended threads included). Wine reads them from /proc.
double ThreadCpuMs(HANDLE thread = GetCurrentThread()) {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(thread, &created, &ended, &kernel, &user);
    return Milliseconds(kernel) + Milliseconds(user);
}
double ProcessCpuMs() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    return Milliseconds(kernel) + Milliseconds(user);
}
}  // namespace

// Small files stating huge sizes (tests/bench/hostile_files.py), each shown
// fitted for a second: no message, the load included, holds the window for a
// second. Closing, then or again while the worker is deep in a block, takes
// no time and ends the worker. Processor time rather than the clock, which a
// busy machine stretches: a paint or a close that does the work a file
// states takes seconds of it on any machine.
TEST_F(lifecycle, hostile_files_never_hold_the_window) {
    ASSERT_FALSE(gFiles.hostile.empty()) << "no files in MOVREL_HOSTILE_DIR (ctest writes them)";
    // The processor time of the whole process across the close; -1 for no window.
    auto close = [](Lister& lister, const std::string& name, bool* decoding) {
        const ViewerState* s = lister.state();  // none for a file refused (or a window the watchdog closed)
        if (!s) return -1.0;
        bool complete = false;
        ProgressiveFrames(s->load, &complete);
        *decoding = !complete;
        HANDLE worker = nullptr;
        if (s->worker) DuplicateHandle(GetCurrentProcess(), s->worker, GetCurrentProcess(), &worker, SYNCHRONIZE, FALSE, 0);
        const double start = ProcessCpuMs();
        lister.destroyViewer();
        const double spent = ProcessCpuMs() - start;
        EXPECT_LT(spent, 100) << name;
        if (worker) {
            EXPECT_EQ(WaitForSingleObject(worker, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << name;
            CloseHandle(worker);
        }
        return spent;
    };
    for (const std::string& file : gFiles.hostile) {
        const std::string name = file.substr(file.find_last_of('\\') + 1);
        std::printf("    %s, fitted\n", name.c_str());  // which one, should the watchdog end the run
        Progress();
        const double uiStart = ThreadCpuMs();
        Lister lister(file, 2, 0, 0, 640, 480, true, false);
        const double load = ThreadCpuMs() - uiStart;
        gLongestDispatchMs = 0;
        Pump(1000);  // the user looks at it for a second
        const double longest = gLongestDispatchMs;
        gLongestDispatchMs = -1;
        EXPECT_LT(load, 1000) << name;
        EXPECT_LT(longest, 1000) << name;
        if (lister.viewer()) {
            EXPECT_GT(lister.paints, 0) << name;
        }
        bool decoding = false;
        const double later = close(lister, name, &decoding);
        // Again, closed as soon as its worker is at work (or done): unscaled,
        // so that its paint is soon over.
        Lister again(file, 0, 0, 0, 640, 480, false, false);
        if (const ViewerState* s = again.state(); s && s->worker)
            PumpUntil([&] { return WaitForSingleObject(s->worker, 0) == WAIT_OBJECT_0 || ThreadCpuMs(s->worker) >= 10; });
        const double atOnce = close(again, name, &decoding);
        Note("%s: %.0f ms of the window's thread to load and show, at most %.0f ms for one message in the second "
             "after; closed in %.0f ms of the process, at once in %.0f ms%s (-1: no window)", name.c_str(), load, longest,
             later, atOnce, decoding ? " while decoding" : "");
    }
}

TEST_F(leaks, load_and_destroy_many_times) {
    // Every leak it looks for happens in every cycle, and the counts below
    // are exact: a few dozen cycles show one as well as hundreds.
    constexpr int kCycles = 40;
    int halfway = 0;  // long files closed while their frames were still being decoded
    auto cycle = [&] {
        { EXPECT_TRUE(Lister(gFiles.sample, 0, 0, 0, 400, 300, false).viewer()); }
        // A long file shown playing while it decodes, then the next files in
        // the same window: a short one decoded whole, and the long one again,
        // closed while it decodes.
        Lister lister(gFiles.film, 0, 0, 0, 400, 300, false, false);
        ASSERT_TRUE(lister.state());
        EXPECT_TRUE(WaitForFrameChange(lister));
        for (const std::string* file : {&gFiles.steps, &gFiles.film}) {
            std::wstring name = WideFromUtf8(file->c_str());
            EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), lister.viewer(), name.data(), 0), 0);
            if (file == &gFiles.steps) lister.waitDecoded();
            Pump(0);  // its paint
        }
        bool complete = false;
        ProgressiveFrames(lister.state()->load, &complete);
        halfway += !complete;
        TakeTimerDelays();  // the host's record of them, which would grow
        Progress();
    };
    for (int i = 0; i < 5; ++i) cycle();
    const ResourceCounts before = CountResources();
    for (int i = 0; i < kCycles; ++i) cycle();
    const ResourceCounts after = CountResources();
    const long long heapDelta = static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes);
    Note("%d cycles: heap busy bytes %+lld, blocks %+d; GDI objects %d -> %d; USER objects %d -> %d; counted by %s", kCycles,
         heapDelta, after.heapBlocks - before.heapBlocks, before.gdiObjects, after.gdiObjects, before.userObjects,
         after.userObjects, after.method);
    Note("handles %d -> %d, threads %d -> %d; %d of %d long files closed while decoding", before.handles, after.handles,
         before.threads, after.threads, halfway, kCycles + 5);
    // A block leaked each cycle shows in the count whatever its size; one
    // leaked frame would be 65 KB, one leaked state block 300 bytes a cycle.
    // Wine itself may hold a block or two of 1 KB more at either count.
    EXPECT_LT(after.heapBlocks - before.heapBlocks, kCycles / 2);
    EXPECT_LT(heapDelta, kCycles * 100);
    EXPECT_EQ(after.gdiObjects, before.gdiObjects);
    EXPECT_EQ(after.userObjects, before.userObjects);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_GT(halfway, 0);
}

TEST_F(entry, the_detect_string_and_remembered_choices) {
    // The string the host stores at install, whole, or a plain one for a small buffer.
    char detect[2048];
    gPlugin.listGetDetectString(detect, sizeof detect);
    EXPECT_NE(std::strstr(detect, "[5]=175"), nullptr) << detect;
    char small[40];
    gPlugin.listGetDetectString(small, sizeof small);
    EXPECT_STREQ(small, "EXT=\"FLI\" | EXT=\"FLC\"");

    // The host names its ini file; the frame number shown stays shown in the
    // next window, as the user left it.
    const std::string ini = gFiles.dir + "\\lsplugin.ini";
    ListDefaultParams params{sizeof(ListDefaultParams), 12, 2, {}};
    std::strcpy(params.iniName, ini.c_str());
    gPlugin.listSetDefaultParams(&params);
    {
        Lister lister(gFiles.sample, 0);
        EXPECT_EQ(lister.state()->showFrameNumber, 0);
        Command(lister.viewer(), IDM_SHOW_FRAME_NUMBER);
    }
    {
        Lister lister(gFiles.sample, 0);
        EXPECT_EQ(lister.state()->showFrameNumber, 1);
        Command(lister.viewer(), IDM_SHOW_FRAME_NUMBER);
    }
    {
        Lister lister(gFiles.sample, 0);
        EXPECT_EQ(lister.state()->showFrameNumber, 0);
        EXPECT_NE(ReadBytes(ini).size(), 0u);
        // Start paused, play once, on dark: from the menu, for the next windows.
        for (WORD id : {IDM_START_PAUSED, IDM_LOOP, IDM_BACKGROUND_DARK}) Command(lister.viewer(), id);
    }
    {
        Lister lister(gFiles.steps, 0, 0, 0, 200, 150);
        const ViewerState* s = lister.state();
        ASSERT_TRUE(s);
        EXPECT_EQ(std::make_tuple(s->paused, s->loop, s->background), std::make_tuple(1, 0, 2));
        EXPECT_EQ(CaptureClient(lister.viewer()).at(100, 100), 0x202020u);
        // Played once, it stays on the last frame; resumed there, it starts over.
        Command(lister.viewer(), IDM_STEP_FORWARD);
        Command(lister.viewer(), IDM_PAUSE);
        EXPECT_TRUE(PumpUntil([&] { return s->paused == 1; }));
        EXPECT_EQ(lister.currentIndex(), 3);
        Command(lister.viewer(), IDM_PAUSE);
        EXPECT_EQ(lister.currentIndex(), 0);
        for (WORD id : {IDM_START_PAUSED, IDM_LOOP, IDM_BACKGROUND_AUTO}) Command(lister.viewer(), id);
    }
    Lister lister(gFiles.steps, 0);
    EXPECT_EQ(std::make_tuple(lister.state()->paused, lister.state()->loop, lister.state()->background), std::make_tuple(0, 1, 0));
    DeleteFileA(ini.c_str());
}

TEST_F(entry, the_next_file_in_the_same_window) {
    Lister lister(gFiles.sample, 0);
    HWND viewer = lister.viewer();
    Command(viewer, IDM_SHOW_FRAME_NUMBER);
    ASSERT_TRUE(WaitForFrameChange(lister));
    std::string next = gFiles.steps;
    EXPECT_EQ(gPlugin.listLoadNext(lister.parent(), viewer, next.data(), 64), 0);
    lister.waitDecoded();
    EXPECT_EQ(ImageCount(lister.state()->first), 4);
    EXPECT_EQ(lister.currentIndex(), 0);
    EXPECT_EQ(lister.state()->showFrameNumber, 1);  // the user's choice stays
    EXPECT_TRUE(lister.state()->center);            // the host's flags apply
    EXPECT_TRUE(WaitForFrameChange(lister));        // and it plays
    // A file it cannot show: the documented error, the window as it was.
    std::string bad = gFiles.unknown;
    EXPECT_EQ(gPlugin.listLoadNext(lister.parent(), viewer, bad.data(), 0), 1);
    EXPECT_EQ(ImageCount(lister.state()->first), 4);
    EXPECT_TRUE(IsWindow(viewer));
}

TEST_F(entry, the_preview_bitmap_is_the_first_frame_reduced_to_fit) {
    ASSERT_TRUE(gPlugin.listGetPreviewBitmap);
    auto preview = [](const std::string& file, int width, int height) {
        std::vector<char> name(file.begin(), file.end());
        name.push_back('\0');
        return gPlugin.listGetPreviewBitmap(name.data(), width, height, nullptr, 0);
    };
    HBITMAP bitmap = preview(gFiles.sample, 160, 160);
    ASSERT_TRUE(bitmap);
    DIBSECTION dib{};
    ASSERT_EQ(GetObjectA(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
    EXPECT_EQ(dib.dsBm.bmWidth, 160);
    EXPECT_EQ(dib.dsBm.bmHeight, 100);
    ASSERT_EQ(dib.dsBm.bmBitsPixel, 24);
    ChainPtr frames = Decode(gFiles.sample);
    ASSERT_TRUE(frames);
    const bool bottomUp = dib.dsBmih.biHeight > 0;
    const int worst = HalfSizeError(frames.get(), 160, 100, [&](int x, int y) {
        const auto* pixel = static_cast<const uint8_t*>(dib.dsBm.bmBits) + (bottomUp ? 99 - y : y) * dib.dsBm.bmWidthBytes + x * 3;
        return pixel[0] | uint32_t{pixel[1]} << 8 | uint32_t{pixel[2]} << 16;
    });
    EXPECT_LE(worst, 4) << "a pixel is off its 2 x 2 average by more than 1";
    DeleteObject(bitmap);

    for (const std::string& file : {gFiles.unknown, gFiles.empty, gFiles.missing, gFiles.broken})
        EXPECT_FALSE(preview(file, 160, 160)) << file;
}

// The calls the file manager makes, in its order, on a fresh copy of the
// library: load it, hand it the ini name, ask for the detect string, show a
// file, step through others in the same window, copy, close, free it; then
// load it again and find the user's choices kept.
TEST_F(entry, the_file_managers_calls_in_its_order) {
    char module[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(gPlugin.module, module, sizeof module), 0ul);
    const std::string copy = gFiles.dir + "\\Movrel copy.wlx";
    ASSERT_TRUE(CopyFileA(module, copy.c_str(), FALSE));
    const std::string ini = gFiles.dir + "\\order.ini";
    const std::string film = gFiles.dir + "\\Мультфильм 動画.flc";
    WriteBytes(film, ReadBytes(gFiles.sample));
    const Plugin original = gPlugin;
    ChainPtr sample = Decode(gFiles.sample);
    ChainPtr steps = Decode(gFiles.steps);
    auto startPlugin = [&] {
        Plugin plugin;
        EXPECT_TRUE(LoadPlugin(copy, &plugin));
        EXPECT_NE(plugin.module, original.module);
        ListDefaultParams params{sizeof(ListDefaultParams), 12, 2, {}};
        std::strcpy(params.iniName, ini.c_str());
        plugin.listSetDefaultParams(&params);
        char detect[1024] = "";
        plugin.listGetDetectString(detect, sizeof detect);
        EXPECT_NE(std::strstr(detect, "FORCE"), nullptr) << detect;
        gPlugin = plugin;
    };
    auto stopPlugin = [&] {
        EXPECT_TRUE(FreeLibrary(gPlugin.module));
        gPlugin = original;
    };
    // What is on screen, paused, against the frame it shows placed at (left, top).
    auto mismatches = [](Lister& lister, const Image* chain, int left, int top, RECT area) {
        Command(lister.viewer(), IDM_PAUSE);
        const Image* frame = FrameAt(chain, lister.currentIndex());
        std::string where;
        const int wrong = CountMismatches(CaptureClient(lister.viewer()), area,
                                          [&](int x, int y) { return PixelColor(frame, x - left, y - top); }, &where);
        EXPECT_EQ(wrong, 0) << where;
        Command(lister.viewer(), IDM_PAUSE);
        return wrong;
    };
    constexpr int kFlags = 2 | 32 | 64 | 128;  // fit larger only, centred, dark
    startPlugin();
    {
        Lister lister(film, kFlags, 0, 0, 640, 480);
        ASSERT_TRUE(lister.state());
        HWND viewer = lister.viewer();
        // A non-ANSI name, centred and not enlarged, on dark.
        mismatches(lister, sample.get(), 160, 140, {160, 140, 480, 340});
        EXPECT_EQ(CountMismatches(CaptureClient(viewer), {0, 0, 160, 480}, [](int, int) { return 0x202020u; }), 0);
        Command(viewer, IDM_SHOW_FRAME_NUMBER);
        // The next files in the same window.
        std::wstring next = WideFromUtf8(gFiles.steps.c_str());
        EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), viewer, next.data(), kFlags), 0);
        lister.waitDecoded();
        EXPECT_EQ(lister.viewer(), viewer);
        EXPECT_EQ(ImageCount(lister.state()->first), 4);
        mismatches(lister, steps.get(), 288, 216, {288, 216 + 20, 352, 264});  // below the frame number
        std::wstring bad = WideFromUtf8(gFiles.unknown.c_str());
        EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), viewer, bad.data(), kFlags), 1);
        std::wstring back = WideFromUtf8(film.c_str());
        EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), viewer, back.data(), kFlags), 0);
        EXPECT_EQ(std::string(lister.state()->path), film);
        EXPECT_EQ(gPlugin.listSendCommand(viewer, 1, 0), 0);  // copy
    }
    stopPlugin();
    startPlugin();
    {
        Lister lister(film, 0);
        ASSERT_TRUE(lister.state());
        EXPECT_EQ(lister.state()->showFrameNumber, 1);
        Command(lister.viewer(), IDM_SHOW_FRAME_NUMBER);
    }
    // The thumbnail of the non-ANSI name is the one of its ANSI-named twin.
    std::wstring wide = WideFromUtf8(film.c_str());
    std::string plain = gFiles.sample;
    HBITMAP thumbnails[] = {gPlugin.listGetPreviewBitmapW(wide.data(), 100, 100, nullptr, 0),
                            gPlugin.listGetPreviewBitmap(plain.data(), 100, 100, nullptr, 0)};
    DIBSECTION dibs[2]{};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(GetObjectA(thumbnails[i], sizeof dibs[i], &dibs[i]), static_cast<int>(sizeof dibs[i]));
    ASSERT_EQ(dibs[0].dsBmih.biSizeImage, dibs[1].dsBmih.biSizeImage);
    EXPECT_EQ(std::memcmp(dibs[0].dsBm.bmBits, dibs[1].dsBm.bmBits, dibs[0].dsBmih.biSizeImage), 0);
    for (HBITMAP bitmap : thumbnails) DeleteObject(bitmap);
    stopPlugin();
    DeleteFileA(ini.c_str());
}
