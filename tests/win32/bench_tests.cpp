// Measurements of the viewer on long and hostile files: time and memory,
// which a busy machine stretches, so they are not in the test list but run
// by tests/bench/wine_bench.sh. Each prints what it measured and checks it
// against its goal.
#include <algorithm>
#include <atomic>

#include "resources/resource.h"
#include "tests/win32/host.h"

#include <psapi.h>

using bench = HostTest;

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// The process's private bytes: its commit charge, which wine gives only as
// PagefileUsage (on Windows the two are the same).
uint64_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

double Milliseconds(FILETIME time) { return static_cast<double>(uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) / 1e4; }

// Processor time, kernel and user: of this thread, or of the whole process.
double ThreadCpuMs() {
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    return Milliseconds(kernel) + Milliseconds(user);
}
double ProcessCpuMs() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    return Milliseconds(kernel) + Milliseconds(user);
}

// A second thread that asks the lister's window for an answer every 20 ms,
// as the system does to tell a hung window, and keeps the longest wait.
class HangDetector {
public:
    explicit HangDetector(HWND window) : window_(window), thread_(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
    ~HangDetector() {
        stop_ = true;
        PumpUntil([&] { return WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; });  // it may be asking
        CloseHandle(thread_);
    }
    // The longest wait since the last take, in ms.
    double take() { return static_cast<double>(longestUs_.exchange(0)) / 1000; }

private:
    static DWORD WINAPI Run(void* self) {
        auto* detector = static_cast<HangDetector*>(self);
        while (!detector->stop_) {
            const double start = NowMs();
            DWORD_PTR ignored = 0;
            SendMessageTimeoutA(detector->window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 60000, &ignored);
            const auto waited = static_cast<int64_t>((NowMs() - start) * 1000);
            int64_t longest = detector->longestUs_;
            while (waited > longest && !detector->longestUs_.compare_exchange_weak(longest, waited)) {}
            Sleep(20);
        }
        return 0;
    }
    HWND window_;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> longestUs_{0};
    HANDLE thread_;
};

bool Told(const Lister& lister, int percent) {
    const std::vector<int> told = lister.told(kHostItemPercent);
    return std::find(told.begin(), told.end(), percent) != told.end();
}

// Dispatches messages for `ms`, keeping the most private bytes seen.
uint64_t PumpKeepingPeak(DWORD ms, uint64_t peak) {
    const double end = NowMs() + ms;
    PumpUntil([&] {
        peak = std::max(peak, PrivateBytes());
        return NowMs() >= end;
    }, ms);
    return peak;
}

}  // namespace

TEST_F(bench, a_long_file_shown_then_its_end_at_once) {
    ChainPtr last;
    {
        Frames film(gFiles.film);
        last.reset(ImageDuplicate(film[5999]));
    }
    const uint64_t before = PrivateBytes();
    Lister lister(gFiles.film, 0);
    uint64_t peak = PumpKeepingPeak(4000, before);
    const double start = NowMs();
    EXPECT_EQ(gPlugin.listSendCommand(lister.viewer(), kListCommandSetPercent, 100), kListSuccess);
    const double call = NowMs() - start;
    // The viewer tells the position as it shows the frame: the time is the
    // viewer's, not that of the host's comparing the screen.
    EXPECT_TRUE(PumpUntil([&] { return lister.percent() == 100; }));
    const double shown = NowMs() - start;
    EXPECT_TRUE(WaitShows(lister.viewer(), last.get()));
    peak = std::max(peak, PrivateBytes());
    Note("6000 frames of 640 x 480 shown for 4 s: private bytes +%.1f MiB at most; lc_setpercent 100 returned in %.1f ms, "
         "the last frame on screen after %.1f ms", static_cast<double>(peak - before) / kMiB, call, shown);
    EXPECT_LE(peak - before, 64 * kMiB);
    EXPECT_LT(call, 100);
    EXPECT_LT(shown, 100);
}

// Clicks on the timeline of a long file that has played a while: the frame
// told within 100 ms.
TEST_F(bench, timeline_clicks_show_their_frame_at_once) {
    Lister lister(gFiles.film, 0, 640, 500);
    HWND viewer = lister.viewer();
    Command(viewer, IDM_TIMELINE);
    Pump(2000);  // played a while: the file has been scouted
    SendKey(viewer, VK_SPACE);
    RECT client;
    GetClientRect(viewer, &client);
    const int y = client.bottom - 8, left = 8, width = client.right - 16;
    for (int percent : {25, 50, 100}) {
        const int x = left + percent * (width - 1) / 100;
        const int want = static_cast<int>(int64_t{(x - left) * 5999 + (width - 1) / 2} / (width - 1) * 100 / 5999);
        const double start = NowMs();
        SendMessageA(viewer, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        SendMessageA(viewer, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
        EXPECT_TRUE(PumpUntil([&] { return lister.percent() == want; }));
        const double shown = NowMs() - start;
        Note("timeline click at %d%%: the frame shown after %.1f ms", percent, shown);
        EXPECT_LT(shown, 100);
    }
}

// Playback keeps time at every speed. A 25 fps file of 101 frames, whose
// frame n the viewer tells the host as position n %, plays for 3 s at 1x,
// 2x, 4x and 8x: at 1x and 2x every frame is shown at the labelled rate;
// at 4x and 8x the position advances at it, frames passed over counted.
TEST_F(bench, playback_keeps_time_at_every_speed) {
    const std::string path = gFiles.dir + "\\pace.flc";
    WriteBytes(path, MakeFilm(101, 40, 640, 480));
    Lister lister(path, 0, 640, 500);
    HWND viewer = lister.viewer();
    ASSERT_TRUE(PumpUntil([&] { return lister.percent() > 0; }));
    int last = lister.percent();
    for (int speed : {1, 2, 4, 8}) {
        if (speed > 1) Command(viewer, IDM_FASTER);
        int shown = 0, advanced = 0;
        const double start = NowMs();
        lister.log.clear();
        PumpUntil([&] {
            const int now = lister.percent();
            lister.log.clear();  // each look reads only what came since the one before
            if (now >= 0 && now != last) {
                ++shown;
                advanced += (now - last + 101) % 101;
                last = now;
            }
            return NowMs() - start >= 3000;
        });
        const double seconds = (NowMs() - start) / 1000;
        const double shownRate = shown / seconds / 25, advanceRate = advanced / seconds / 25;
        Note("%dx: %.1f frames shown a second (%.3fx), the position at %.3fx", speed, shown / seconds, shownRate,
             advanceRate);
        if (speed <= 2)
            EXPECT_NEAR(shownRate, speed, 0.03 * speed);
        else
            EXPECT_NEAR(advanceRate, speed, 0.05 * speed);
    }
}

TEST_F(bench, four_long_files_at_once) {
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i) {
        files.push_back(gFiles.dir + "\\film " + std::to_string(i) + ".flc");
        WriteBytes(files.back(), ReadBytes(gFiles.film));
    }
    const uint64_t before = PrivateBytes();
    std::vector<std::unique_ptr<Lister>> listers;
    for (int i = 0; i < 4; ++i) listers.push_back(std::make_unique<Lister>(files[i], 0, 320, 240, 320 * (i % 2), 240 * (i / 2)));
    uint64_t peak = PumpKeepingPeak(4000, before);
    for (auto& lister : listers) gPlugin.listSendCommand(lister->viewer(), kListCommandSetPercent, 100);
    EXPECT_TRUE(PumpUntil([&] {
        peak = std::max(peak, PrivateBytes());
        return std::all_of(listers.begin(), listers.end(), [](auto& l) { return Told(*l, 100); });
    }));
    peak = PumpKeepingPeak(1000, peak);
    Note("four windows of 6000 frames: private bytes +%.1f MiB at most (%d-bit)", static_cast<double>(peak - before) / kMiB,
         static_cast<int>(sizeof(void*) * 8));
    if (sizeof(void*) == 4) {
        EXPECT_LE(peak - before, 256 * kMiB);
    }
}

TEST_F(bench, the_lister_answers_at_once_whatever_the_viewer_does) {
    const std::string reel = gFiles.dir + "\\reel.flc";
    WriteBytes(reel, MakeFilm(300, 1, 640, 480));
    OutputDir out("hang");
    Lister lister(gFiles.still, 0);
    lister.destroyViewer();
    Pump(0);
    lister.log.clear();
    HangDetector detector(lister.parent());
    Pump(100);
    detector.take();
    auto report = [&](const char* phase) {
        const double longest = detector.take();
        Note("%s: the lister waited %.1f ms at most", phase, longest);
        EXPECT_LT(longest, 100) << phase;
    };

    HWND viewer = ListLoad(lister.parent(), gFiles.film, 0);
    ASSERT_TRUE(viewer);
    MoveWindow(viewer, 0, 0, 640, 480, TRUE);
    SendKey(viewer, VK_END, Ctrl::left);
    EXPECT_TRUE(PumpUntil([&] { return Told(lister, 100); }));
    report("6000 frames opened and at once at the last");
    PumpUntil([&] { return lister.percent() == 3; });
    report("played to 3%");

    for (const auto& [file, key, avi] : {std::tuple{gFiles.film, 'G', false}, std::tuple{reel, 'I', true}}) {
        if (avi) {
            DestroyWindow(viewer);
            viewer = ListLoad(lister.parent(), file, 0);
            MoveWindow(viewer, 0, 0, 640, 480, TRUE);
        }
        out.enter();
        SaveDialogView view;
        std::vector<ExpectedWindow> windows{SaveDialog(&view)};
        if (avi) windows.push_back(CompressionDialog(true));
        ExpectWindows(windows);
        const double start = NowMs();
        SendKey(viewer, key, Ctrl::left);
        // The system's dialogs apart, from the moment the progress shows.
        const double dialogs = detector.take();
        const ProgressSeen progress = WatchProgress();
        EXPECT_TRUE(ExpectationMet());
        Note("%s exported in %.1f s (%s); the dialogs and the start held the lister %.1f ms at most", avi ? "300 frames to AVI" : "6000 frames to GIF",
             (NowMs() - start) / 1000, progress.lines.empty() ? "" : progress.lines.back().c_str(), dialogs);
        report(avi ? "an AVI export of 300 frames" : "a GIF export of 6000 frames");
    }
    const double start = NowMs();
    SendKey(viewer, VK_END, Ctrl::left);
    DestroyWindow(viewer);
    Note("closed while decoding in %.1f ms", NowMs() - start);
    report("closed");
}

TEST_F(bench, list_load_of_a_long_file_costs_what_its_first_frame_does) {
    const std::string first = gFiles.dir + "\\film first.flc";
    WriteBytes(first, MakeFilm(1, 10, 640, 480));
    Lister host(gFiles.still, 0);
    double best[2] = {1e9, 1e9};
    for (int run = 0; run < 7; ++run)
        for (int i = 0; i < 2; ++i) {
            const double start = NowMs();
            HWND viewer = ListLoad(host.parent(), i == 0 ? first : gFiles.film, 0);
            best[i] = std::min(best[i], NowMs() - start);
            ASSERT_TRUE(viewer);
            DestroyWindow(viewer);
        }
    Note("ListLoad of 640 x 480: %.2f ms for 6000 frames, %.2f ms for 1 frame: %.2f x", best[1], best[0], best[1] / best[0]);
    EXPECT_LT(best[1], 3 * best[0]);
}

// Small files stating huge sizes, each shown fitted for a second, opened
// by ListLoad and as the next file of a window: neither the load nor any
// message after it holds the window for long (the picture comes when the
// worker has it); closing, then or again at once, takes no time.
TEST_F(bench, hostile_files_hold_the_window_briefly) {
    ASSERT_FALSE(gFiles.hostile.empty()) << "no files in MOVREL_HOSTILE_DIR";
    Lister host(gFiles.still, 0);
    host.destroyViewer();
    HangDetector detector(host.parent());
    for (const std::string& file : gFiles.hostile) {
        const std::string name = file.substr(file.find_last_of('\\') + 1);
        Progress();
        HWND still = ListLoad(host.parent(), gFiles.still, kShowFitToWindow);
        std::wstring wide = WideFromUtf8(file.c_str());
        detector.take();
        double start = NowMs();
        const int next = gPlugin.listLoadNextW(host.parent(), still, wide.data(), kShowFitToWindow);
        const double loadNext = NowMs() - start;
        Pump(1000);
        const double longestNext = detector.take();
        start = NowMs();
        DestroyWindow(still);
        const double closeNext = NowMs() - start;
        Note("%s: ListLoadNextW %.0f ms (%s), the lister waited %.0f ms at most in the second after; closed in %.0f ms",
             name.c_str(), loadNext, next == kListSuccess ? "shown" : "refused", longestNext, closeNext);
        EXPECT_LT(loadNext, 100) << name;
        EXPECT_LT(longestNext, 100) << name;
        EXPECT_LT(closeNext, 100) << name;

        detector.take();
        const double loadStart = ThreadCpuMs();
        start = NowMs();
        HWND viewer = ListLoad(host.parent(), file, kShowFitToWindow);
        const double loadWall = NowMs() - start;
        const double load = ThreadCpuMs() - loadStart;
        if (viewer) MoveWindow(viewer, 0, 0, 640, 480, TRUE);
        Pump(1000);  // the user looks at it for a second
        const double longest = detector.take();
        double close[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            if (i == 1) viewer = ListLoad(host.parent(), file, 0);  // again, closed at once
            if (!viewer) continue;
            const double start = ProcessCpuMs();
            DestroyWindow(viewer);
            close[i] = ProcessCpuMs() - start;
            EXPECT_LT(close[i], 100) << name;
        }
        Note("%s: ListLoad %.0f ms (%.0f ms of the window's thread), the lister waited %.0f ms at most in the second "
             "after; closed in %.0f ms of the process, at once in %.0f ms (-1: no window)", name.c_str(), loadWall, load,
             longest, close[0], close[1]);
        EXPECT_LT(loadWall, 100) << name;
        EXPECT_LT(longest, 100) << name;
    }
}


// Closing the lister while a GIF export of the long file or of a hostile file
// runs: how long the close takes, and the processor time the other threads
// (the export's worker and the viewer's) still spend after it until they
// have ended.
TEST_F(bench, closing_during_an_export_returns_at_once) {
    OutputDir out("close-export");
    std::vector<std::string> files = gFiles.hostile;
    files.push_back(gFiles.film);
    {
        // Wine's save dialog starts threads of its own the first time.
        Lister lister(gFiles.still, 0);
        SaveDialogView view;
        ExpectWindows({SaveDialog(&view, "warm")});
        Command(lister.viewer(), IDM_EXPORT_GIF);
        WatchProgress();
    }
    const int threads = CountResources().threads;
    for (const std::string& file : files) {
        const std::string name = file.substr(file.find_last_of('\\') + 1);
        Progress();
        Lister lister(file, kShowFitToWindow);
        if (!lister.viewer()) continue;
        SaveDialogView view;
        BoxSeen replace;
        ExpectWindows({SaveDialog(&view, "anim"), AnswerBox(&replace, IDYES)});
        WriteBytes(out.file("anim.GIF"), {'o', 'l', 'd'});
        Command(lister.viewer(), IDM_EXPORT_GIF);
        double close = -1, others = -1;
        WatchProgress([&](HWND, const std::string& line) {
            if (close >= 0 || (file == gFiles.film && FramesWritten(line) <= 0)) return;
            const double cpu = ProcessCpuMs(), own = ThreadCpuMs(), start = NowMs();
            lister.destroyViewer();
            close = NowMs() - start;
            PumpUntil([&] { return CountResources().threads <= threads; });
            others = (ProcessCpuMs() - cpu) - (ThreadCpuMs() - own);
        });
        Note("%s: a close during its GIF export took %.0f ms; the other threads spent %.0f ms after it", name.c_str(),
             close, others);
        EXPECT_LT(close, 150) << name;
        EXPECT_LT(others, 150) << name;
    }
}
