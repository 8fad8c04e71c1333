// What the file manager sees: its calls, the clipboard, and windows coming
// and going without leaking.
#include <cstring>
#include <tuple>

#include "resources/resource.h"
#include "tests/win32/host.h"

#include <commdlg.h>

using entry = HostTest;
using clipboard = HostTest;
using lifecycle = HostTest;
using leaks = HostTest;

namespace {

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

void SetIni(const Plugin& plugin, const std::string& ini) {
    ListDefaultParamStruct params{sizeof(ListDefaultParamStruct), 12, 2, {}};
    std::strcpy(params.DefaultIniName, ini.c_str());
    plugin.listSetDefaultParams(&params);
}

}  // namespace

TEST_F(entry, list_load_shows_a_playing_viewer_or_refuses) {
    {
        Lister lister(gFiles.sample, 0);
        ASSERT_TRUE(lister.viewer());
        EXPECT_EQ(GetParent(lister.viewer()), lister.parent());
        // A visible child, without scroll bars for a frame that fits; it plays.
        EXPECT_EQ(static_cast<unsigned long>(GetWindowLongA(lister.viewer(), GWL_STYLE)), 0x50000000ul);
        EXPECT_TRUE(PumpUntil([&] { return lister.percent() > 0; }));
    }
    for (const std::string* file : {&gFiles.missing, &gFiles.empty, &gFiles.unknown, &gFiles.broken}) {
        Lister lister(*file, 0);
        EXPECT_FALSE(lister.viewer()) << *file;
        EXPECT_FALSE(GetWindow(lister.parent(), GW_CHILD)) << *file;
    }
    // A file cut short shows the frames before the damage.
    EXPECT_TRUE(Lister(gFiles.damaged, 0).viewer());
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
    EXPECT_TRUE(Lister(longName, 0).viewer());
    // The ANSI entry point takes names in the ANSI code page.
    const std::string accented = gFiles.dir + "\\café.flc";
    WriteBytes(accented, sample);
    char ansi[MAX_PATH];
    BOOL lossy = FALSE;
    ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, WideFromUtf8(accented.c_str()).c_str(), -1, ansi, sizeof ansi, nullptr, &lossy), 0);
    if (!lossy) {
        Lister lister(gFiles.still, 0);
        HWND viewer = gPlugin.listLoad(lister.parent(), ansi, 0);
        EXPECT_TRUE(viewer);
        DestroyWindow(viewer);
    }
    // A name past what the viewer keeps is refused, not cut.
    EXPECT_FALSE(Lister(gFiles.dir + "\\" + std::string(kMaxPath, 'n') + ".flc", 0).viewer());
}

TEST_F(entry, list_send_command) {
    Lister lister(gFiles.steps, 0, 200, 150);
    HWND viewer = lister.viewer();
    PauseAt(viewer, 100);
    Frames steps(gFiles.steps);
    EXPECT_TRUE(WaitShows(viewer, steps[3]));
    // Commands the plug-in does not use report failure and change nothing.
    for (int command : {0, 3, 5, -1, 1000}) EXPECT_EQ(gPlugin.listSendCommand(viewer, command, 2), kListFailure);
    // New parameters repaint at once: centred, on dark.
    ValidateRect(viewer, nullptr);
    EXPECT_EQ(gPlugin.listSendCommand(viewer, kListCommandNewParameters, kShowCenter | kShowDarkMode), kListSuccess);
    EXPECT_TRUE(GetUpdateRect(viewer, nullptr, FALSE));
    EXPECT_TRUE(Shows(viewer, steps[3], 68, 51));
    EXPECT_EQ(CaptureClient(viewer).at(10, 140), 0x202020u);
    // Not a viewer: nothing to copy, no position.
    EXPECT_EQ(gPlugin.listSendCommand(lister.parent(), kListCommandCopy, 0), kListFailure);
    EXPECT_EQ(gPlugin.listSendCommand(lister.parent(), kListCommandSetPercent, 0), kListFailure);
}

TEST_F(clipboard, copy_puts_the_frame_on_screen_as_a_packed_dib) {
    for (const std::string* file : {&gFiles.sample, &gFiles.fli}) {
        Lister lister(*file, 0);
        PauseAt(lister.viewer(), 50);  // frame 12 of 24, 1 of 3
        Frames frames(*file);
        const Image* frame = frames[file == &gFiles.sample ? 12 : 1];
        ASSERT_TRUE(WaitShows(lister.viewer(), frame));
        EXPECT_EQ(gPlugin.listSendCommand(lister.viewer(), kListCommandCopy, 0), kListSuccess);
        const std::vector<uint8_t> copied = ClipboardDib(lister.parent());
        EXPECT_TRUE(copied == PackedDib(frame));
        EXPECT_EQ(copied.size(), PackedDib(frame).size());
    }
    // The menu's Copy does the same.
    Lister lister(gFiles.still, 0);
    if (OpenClipboard(lister.parent())) {
        EmptyClipboard();
        CloseClipboard();
    }
    Command(lister.viewer(), IDM_COPY);
    Frames still(gFiles.still);
    EXPECT_TRUE(ClipboardDib(lister.parent()) == PackedDib(still[0]));
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
    EXPECT_EQ(gPlugin.listSendCommand(lister.viewer(), kListCommandCopy, 0), kListFailure);
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
    Lister first(gFiles.sample, 0, 330, 210);
    Lister second(gFiles.steps, 0, 200, 100, 400, 0);
    ASSERT_TRUE(first.viewer() && second.viewer());
    // Both play, each on its own.
    EXPECT_TRUE(PumpUntil([&] { return first.percent() > 0 && second.percent() > 0; }));
    PauseAt(first.viewer(), 50);
    Frames sample(gFiles.sample), steps(gFiles.steps);
    EXPECT_TRUE(WaitShows(first.viewer(), sample[12]));
    const size_t told = first.told(kHostItemPercent).size(), other = second.told(kHostItemPercent).size();
    EXPECT_TRUE(PumpUntil([&] { return second.told(kHostItemPercent).size() >= other + 3; }));
    EXPECT_EQ(first.told(kHostItemPercent).size(), told);
    EXPECT_TRUE(Shows(first.viewer(), sample[12]));
    PauseAt(second.viewer(), 100);
    EXPECT_TRUE(WaitShows(second.viewer(), steps[3]));
    // Closing one leaves the other working.
    first.destroyViewer();
    Command(second.viewer(), IDM_PAUSE);
    EXPECT_TRUE(PumpUntil([&] { return second.percent() == 0; }));
}

// Small files stating huge sizes (tests/bench/hostile_files.py), each shown
// fitted: a window at once, whose picture appears when its worker has
// decoded it (the position is told then), unless the first frame is found
// not to fit the load budget within the opening's wait (the 32-bit one's
// 16000 x 16000 FLC): then no window, as for any file without a picture.
// Asked for its last frame, then closed, also while the first frame
// decodes. Never a crash or a hang (the watchdog), and the workers end on
// their own.
TEST_F(lifecycle, hostile_files_show_later_and_close) {
    ASSERT_FALSE(gFiles.hostile.empty()) << "no files in MOVREL_HOSTILE_DIR (ctest writes them)";
    const int threads = CountResources().threads;
    for (const std::string& file : gFiles.hostile) {
        std::printf("    %s\n", file.c_str());  // which one, should the watchdog end the run
        Progress();
        { Lister closedAtOnce(file, kShowFitToWindow); }
        Lister lister(file, kShowFitToWindow);
        if (!lister.viewer()) {
            EXPECT_EQ(sizeof(void*), 4u) << file;  // 64 bits: every one has its picture
            continue;
        }
        EXPECT_TRUE(PumpUntil([&] { return lister.percent() >= 0; })) << file;
        CaptureClient(lister.viewer());
        SendKey(lister.viewer(), VK_END, Ctrl::left);
        Pump(0);
        lister.destroyViewer();
        EXPECT_TRUE(PumpUntil([&] { return CountResources().threads <= threads; }))
            << file << ": " << CountResources().threads << " threads, " << threads << " before";
    }
}

// Closing the lister while a GIF export of each of them reads or writes its
// frames: the close does not wait for the worker, which ends on its own
// (the threads come back to their count), leaving the file it was to
// replace as it was (or whole, when the export ended before the close) and
// nothing beside it.
TEST_F(lifecycle, closing_during_an_export_of_a_hostile_file_keeps_the_old_file) {
    ASSERT_FALSE(gFiles.hostile.empty()) << "no files in MOVREL_HOSTILE_DIR (ctest writes them)";
    OutputDir out("hostile-export");
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    const std::string target = out.file("anim.GIF");
    {
        // Wine's save dialog starts threads of its own the first time: one export before counting.
        Lister lister(gFiles.still, 0);
        SaveDialogView view;
        ExpectWindows({SaveDialog(&view, "warm")});
        Command(lister.viewer(), IDM_EXPORT_GIF);
        WatchProgress();
        EXPECT_TRUE(ExpectationMet());
    }
    std::remove(out.file("warm.GIF").c_str());
    const int threads = CountResources().threads;
    for (const std::string& file : gFiles.hostile) {
        std::printf("    %s\n", file.c_str());
        Progress();
        WriteBytes(target, old);
        Lister lister(file, kShowFitToWindow);
        if (!lister.viewer()) continue;
        SaveDialogView view;
        BoxSeen replace;
        ExpectWindows({SaveDialog(&view, "anim"), AnswerBox(&replace, IDYES)});
        Command(lister.viewer(), IDM_EXPORT_GIF);
        bool closed = false;
        WatchProgress([&](HWND, const std::string&) {
            if (!closed) lister.destroyViewer();
            closed = true;
        });
        EXPECT_TRUE(ExpectationMet()) << file;
        EXPECT_TRUE(PumpUntil([&] {
            return out.list().find("~mvr") == std::string::npos && CountResources().threads <= threads;
        })) << file << " " << out.list();
        // A quick export may have ended before the close: then its file is whole.
        EXPECT_TRUE(ReadBytes(target) == old || Load(target)) << file;
    }
}

TEST_F(leaks, load_and_destroy_many_times) {
    // Every leak it looks for happens in every cycle, and the counts below
    // are exact: a few dozen cycles show one as well as hundreds.
    constexpr int kCycles = 40;
    auto cycle = [&] {
        { EXPECT_TRUE(Lister(gFiles.sample, 0, 400, 300).viewer()); }
        // A long file reduced on screen and asked for its last frame, then
        // the next files in the same window while its worker decodes: a
        // short one, and the long one again, closed while it decodes.
        Lister lister(gFiles.film, 0, 400, 300);
        ASSERT_TRUE(lister.viewer());
        SendKey(lister.viewer(), VK_SUBTRACT);
        CaptureClient(lister.viewer());
        for (const std::string* file : {&gFiles.steps, &gFiles.film}) {
            SendKey(lister.viewer(), VK_END, Ctrl::left);
            std::wstring name = WideFromUtf8(file->c_str());
            EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), lister.viewer(), name.data(), 0), kListSuccess);
            CaptureClient(lister.viewer());
        }
        SendKey(lister.viewer(), VK_END, Ctrl::left);
        Progress();
    };
    // A worker still deep in a frame when its viewer closed ends on its own,
    // with its thread's and its file's handles, a moment later.
    const int idle = CountResources().threads;
    for (int i = 0; i < 5; ++i) cycle();
    PumpUntil([&] { return CountResources().threads <= idle; }, 5000);
    const ResourceCounts before = CountResources();
    for (int i = 0; i < kCycles; ++i) cycle();
    PumpUntil([&] {
        const ResourceCounts now = CountResources();
        return now.threads <= before.threads && now.handles <= before.handles;
    }, 5000);
    const ResourceCounts after = CountResources();
    const long long heapDelta = static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes);
    Note("%d cycles: heap busy bytes %+lld, blocks %+d; GDI objects %d -> %d; USER objects %d -> %d; handles %d -> %d, "
         "threads %d -> %d", kCycles, heapDelta, after.heapBlocks - before.heapBlocks, before.gdiObjects, after.gdiObjects,
         before.userObjects, after.userObjects, before.handles, after.handles, before.threads, after.threads);
    // A block leaked each cycle shows in the count whatever its size. Wine
    // itself may hold a block or two of 1 KB more at either count.
    EXPECT_LT(after.heapBlocks - before.heapBlocks, kCycles / 2);
    EXPECT_LT(heapDelta, kCycles * 100);
    EXPECT_EQ(after.gdiObjects, before.gdiObjects);
    EXPECT_EQ(after.userObjects, before.userObjects);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.threads, before.threads);
}

namespace {

// The handles that wine's save dialog keeps each time it is answered with a
// name, as the host's own dialog shows: what each export's dialog adds.
int HandlesKeptPerAcceptedDialog(HWND owner) {
    auto ask = [&] {
        wchar_t file[MAX_PATH] = L"any.txt";
        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = owner;
        dialog.lpstrFilter = L"Text\0*.txt\0";
        dialog.lpstrFile = file;
        dialog.nMaxFile = MAX_PATH;
        SaveDialogView view;
        ExpectWindows({SaveDialog(&view)});
        GetSaveFileNameW(&dialog);
        EXPECT_TRUE(ExpectationMet());
    };
    ask();
    const ResourceCounts before = CountResources();
    for (int i = 0; i < 3; ++i) ask();
    const ResourceCounts after = CountResources();
    return (after.handles - before.handles) / 3;
}

}  // namespace

// Cancel, Esc, closing the progress window or the lister stop an export at
// once: no new file, no error, no thread or handle left, and the file it
// was to replace as it was. Closing the lister does not wait for the worker
// to end: the worker then ends on its own. The lister plays on while it
// exports.
TEST_F(leaks, a_stopped_export_leaves_no_file_thread_or_handle) {
    OutputDir out("stopped");
    enum Stop { kCancel, kEscape, kClose, kCloseLister };
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    auto run = [&](WORD command, Stop stop) {
        out.enter();
        const char* leaf = command == IDM_EXPORT_AVI ? "anim.AVI" : "anim.GIF";
        WriteBytes(out.file(leaf), old);
        Lister lister(gFiles.film, 0);
        SaveDialogView view;
        BoxSeen replace;
        std::vector<ExpectedWindow> windows{SaveDialog(&view, "anim"), AnswerBox(&replace, IDYES)};
        if (command == IDM_EXPORT_AVI) windows.push_back(CompressionDialog(true));
        ExpectWindows(windows);
        Command(lister.viewer(), command);
        const size_t told = lister.told(kHostItemPercent).size();
        bool stopped = false;
        WatchProgress([&](HWND progress, const std::string& line) {
            // Esc while the frames are read, the others once some are written.
            if (stopped || (stop != kEscape && FramesWritten(line) <= 0)) return;
            stopped = true;
            if (stop == kCancel) {
                EXPECT_TRUE(PumpUntil([&] { return lister.told(kHostItemPercent).size() >= told + 2; }));
                PostMessageA(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
            }
            if (stop == kEscape) PostMessageA(progress, WM_KEYDOWN, VK_ESCAPE, 0);
            if (stop == kClose) PostMessageA(progress, WM_CLOSE, 0, 0);
            if (stop == kCloseLister) lister.destroyViewer();
        });
        EXPECT_TRUE(ExpectationMet());
        EXPECT_TRUE(stopped);
        // A worker left to end on its own removes its temporary file as it ends.
        EXPECT_TRUE(PumpUntil([&] { return out.list().find("~mvr") == std::string::npos; })) << stop << out.list();
        EXPECT_EQ(ReadBytes(out.file(leaf)), old) << stop;  // and no error box, which would be an unexpected window
        Progress();
    };
    // Cancelled in the AVI export, which writes for long enough to watch the lister play on.
    const std::pair<WORD, Stop> stops[] = {{IDM_EXPORT_AVI, kCancel}, {IDM_EXPORT_GIF, kEscape}, {IDM_EXPORT_GIF, kClose},
                                           {IDM_EXPORT_GIF, kCloseLister}};
    for (const auto& [command, stop] : stops) run(command, stop);  // wine's dialogs start threads of their own once
    const ResourceCounts before = CountResources();
    for (const auto& [command, stop] : stops) run(command, stop);
    PumpUntil([&] { return CountResources().threads <= before.threads; });  // the last worker has ended
    const ResourceCounts after = CountResources();
    Lister owner(gFiles.still, 0);
    const int dialogs = 4 * HandlesKeptPerAcceptedDialog(owner.parent());
    // (The dialogs' icons for the folder's files make the GDI objects vary.)
    Note("4 exports stopped: heap blocks %+d; GDI objects %d -> %d; handles %d -> %d, %d of them kept by wine's save dialogs; "
         "threads %d -> %d", after.heapBlocks - before.heapBlocks, before.gdiObjects, after.gdiObjects, before.handles,
         after.handles, dialogs, before.threads, after.threads);
    EXPECT_EQ(after.userObjects, before.userObjects);
    EXPECT_EQ(after.handles, before.handles + dialogs);
    EXPECT_EQ(after.threads, before.threads);
}

TEST_F(entry, the_detect_string_and_remembered_choices) {
    // The string the host stores at install, whole, or a plain one for a small buffer.
    char detect[2048];
    gPlugin.listGetDetectString(detect, sizeof detect);
    EXPECT_NE(std::strstr(detect, "[5]=175"), nullptr) << detect;
    char small[40];
    gPlugin.listGetDetectString(small, sizeof small);
    EXPECT_STREQ(small, "EXT=\"FLI\" | EXT=\"FLC\"");

    // The host names its ini file; the viewer's choices hold for the next windows.
    const std::string ini = gFiles.dir + "\\lsplugin.ini";
    SetIni(gPlugin, ini);
    const WORD choices[] = {IDM_SHOW_FRAME_NUMBER, IDM_START_PAUSED, IDM_LOOP, IDM_BACKGROUND_DARK};
    {
        Lister lister(gFiles.steps, 0, 200, 150);
        for (WORD id : choices) Command(lister.viewer(), id);
    }
    EXPECT_NE(ReadBytes(ini).size(), 0u);
    Frames steps(gFiles.steps);
    {
        Lister lister(gFiles.steps, 0, 200, 150);
        const MenuSeen menu = OpenMenu(lister.viewer());
        for (UINT id : {IDM_SHOW_FRAME_NUMBER, IDM_START_PAUSED, IDM_BACKGROUND_DARK, IDM_PAUSE}) EXPECT_TRUE(Checked(menu, id)) << id;
        EXPECT_FALSE(Checked(menu, IDM_LOOP));
        // Paused on the first frame, its number over it, on dark.
        const Capture shown = CaptureClient(lister.viewer());
        EXPECT_EQ(shown.at(100, 100), 0x202020u);
        EXPECT_EQ(CountMismatches(shown, {0, 30, 64, 48}, [&](int x, int y) { return PixelColor(steps[0], x, y); }), 0);
        EXPECT_GT(CountMismatches(shown, {0, 0, 64, 30}, [&](int x, int y) { return PixelColor(steps[0], x, y); }), 0);
        for (WORD id : {IDM_SHOW_FRAME_NUMBER, IDM_START_PAUSED, IDM_LOOP, IDM_BACKGROUND_AUTO}) Command(lister.viewer(), id);
    }
    Lister lister(gFiles.steps, 0, 200, 150);
    const MenuSeen menu = OpenMenu(lister.viewer());
    EXPECT_EQ(menu.checked, (std::vector<UINT>{IDM_LOOP, IDM_BACKGROUND_AUTO}));
    DeleteFileA(ini.c_str());
}

TEST_F(entry, the_preview_bitmap_is_the_first_frame_reduced_to_fit) {
    // Through the ANSI entry point, and the wide one with a name outside the ANSI code page.
    const std::string copy = gFiles.dir + "\\Мультфильм.flc";
    WriteBytes(copy, ReadBytes(gFiles.sample));
    std::string plain = gFiles.sample;
    std::wstring wide = WideFromUtf8(copy.c_str());
    Frames frames(gFiles.sample);
    for (HBITMAP bitmap : {gPlugin.listGetPreviewBitmap(plain.data(), 160, 160, nullptr, 0),
                           gPlugin.listGetPreviewBitmapW(wide.data(), 160, 160, nullptr, 0)}) {
        DIBSECTION dib{};
        ASSERT_EQ(GetObjectA(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
        ASSERT_EQ(std::make_tuple(dib.dsBm.bmWidth, dib.dsBm.bmHeight, dib.dsBm.bmBitsPixel), std::make_tuple(160L, 100L, WORD{24}));
        const bool bottomUp = dib.dsBmih.biHeight > 0;
        EXPECT_LE(HalfSizeError(frames[0], 160, 100, [&](int x, int y) {
                      const auto* pixel = static_cast<const uint8_t*>(dib.dsBm.bmBits) + (bottomUp ? 99 - y : y) * dib.dsBm.bmWidthBytes + x * 3;
                      return pixel[0] | uint32_t{pixel[1]} << 8 | uint32_t{pixel[2]} << 16;
                  }), 4) << "a pixel is off its 2 x 2 average by more than 1";
        DeleteObject(bitmap);
    }
    for (std::string file : {gFiles.unknown, gFiles.empty, gFiles.missing, gFiles.broken})
        EXPECT_FALSE(gPlugin.listGetPreviewBitmap(file.data(), 160, 160, nullptr, 0)) << file;
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
    auto startPlugin = [&] {
        Plugin plugin;
        EXPECT_TRUE(LoadPlugin(copy, &plugin));
        EXPECT_NE(plugin.module, original.module);
        SetIni(plugin, ini);
        char detect[1024] = "";
        plugin.listGetDetectString(detect, sizeof detect);
        EXPECT_NE(std::strstr(detect, "FORCE"), nullptr) << detect;
        gPlugin = plugin;
    };
    auto stopPlugin = [&] {
        EXPECT_TRUE(FreeLibrary(gPlugin.module));
        gPlugin = original;
    };
    constexpr int kFlags = kShowFitToWindow | kShowFitLargerOnly | kShowCenter | kShowDarkMode;
    Frames sample(gFiles.sample), steps(gFiles.steps);
    startPlugin();
    {
        Lister lister(film, kFlags);
        HWND viewer = lister.viewer();
        ASSERT_TRUE(viewer);
        // A non-ANSI name, centred and not enlarged, on dark.
        PauseAt(viewer, 0);
        EXPECT_TRUE(WaitShows(viewer, sample[0], 160, 140));
        EXPECT_EQ(CountMismatches(CaptureClient(viewer), {0, 0, 160, 480}, [](int, int) { return 0x202020u; }), 0);
        Command(viewer, IDM_SHOW_FRAME_NUMBER);
        // The next file in the same window plays, centred, with the frame number still shown.
        std::wstring next = WideFromUtf8(gFiles.steps.c_str());
        EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), viewer, next.data(), kFlags), kListSuccess);
        EXPECT_TRUE(PumpUntil([&] { return lister.percent() == 33; }));
        PauseAt(viewer, 0);
        EXPECT_TRUE(PumpUntil([&] {
            const Capture shown = CaptureClient(viewer);
            return CountMismatches(shown, {288, 236, 352, 264}, [&](int x, int y) { return PixelColor(steps[0], x - 288, y - 216); }) == 0 &&
                   CountMismatches(shown, {0, 0, 64, 30}, [](int, int) { return 0x202020u; }) > 0;
        }));
        // One it cannot show leaves the window as it was.
        std::wstring bad = WideFromUtf8(gFiles.unknown.c_str());
        EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), viewer, bad.data(), kFlags), kListFailure);
        std::wstring back = WideFromUtf8(film.c_str());
        EXPECT_EQ(gPlugin.listLoadNextW(lister.parent(), viewer, back.data(), kFlags), kListSuccess);
        EXPECT_EQ(gPlugin.listSendCommand(viewer, kListCommandCopy, 0), kListSuccess);
    }
    stopPlugin();
    startPlugin();
    {
        Lister lister(film, 0);
        EXPECT_TRUE(Checked(OpenMenu(lister.viewer()), IDM_SHOW_FRAME_NUMBER));
        Command(lister.viewer(), IDM_SHOW_FRAME_NUMBER);
    }
    stopPlugin();
    DeleteFileA(ini.c_str());
}
