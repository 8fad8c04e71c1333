// What the file manager sees: the exports, the resources, ListLoad,
// ListSendCommand, the clipboard, and windows coming and going.
#include <cstring>

#include "resources/resource.h"
#include "tests/win32/host.h"

namespace {

std::string VersionString(const std::vector<char>& data, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904E4\\") + name;
    if (!VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return "";
    return value;
}

std::string MenuText(HMENU menu, int position) {
    char text[128] = "";
    GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
    return text;
}

bool HasChildWindow(HWND parent) { return GetWindow(parent, GW_CHILD) != nullptr; }

bool CopySample(const std::string& path) {
    return CopyFileA(gFiles.sample.c_str(), path.c_str(), FALSE) != FALSE;
}

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

struct StateSnapshot {
    const Image* current;
    int32_t fit, paused, singleStep, counter, shown;
    bool operator==(const StateSnapshot&) const = default;
};
std::string ToText(const StateSnapshot& s) {
    char text[128];
    wsprintfA(text, "{fit %d paused %d step %d counter %d shown %d}", s.fit, s.paused, s.singleStep, s.counter, s.shown);
    return text;
}
StateSnapshot Snapshot(const ViewerState* s) {
    return {s->current, s->fitToWindow, s->paused, s->singleStep, s->frameCounter, s->showFrameNumber};
}

}  // namespace

HOST_TEST(entry, version_resource) {
    char path[MAX_PATH];
    GetModuleFileNameA(gPlugin.module, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    CHECK(size > 0);
    if (size == 0) return;
    std::vector<char> data(size);
    CHECK(GetFileVersionInfoA(path, 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed);
    if (!fixed) return;
    CHECK_EQ(fixed->dwFileVersionMS, 0x00010000ul);
    CHECK_EQ(fixed->dwFileVersionLS, 0ul);
    CHECK_EQ(fixed->dwProductVersionMS, 0x00010000ul);
    CHECK_EQ(fixed->dwProductVersionLS, 0ul);
    CHECK_EQ(VersionString(data, "FileVersion"), std::string("1.0.0.0"));
    CHECK_EQ(VersionString(data, "ProductVersion"), std::string("1.0.0.0"));
    CHECK_EQ(VersionString(data, "InternalName"), std::string("Movrel"));
    CHECK_EQ(VersionString(data, "OriginalFilename"), std::string(sizeof(void*) == 8 ? "Movrel.wlx64" : "Movrel.wlx"));
    CHECK(VersionString(data, "FileDescription").find("FLIC") != std::string::npos);
    CHECK(VersionString(data, "ProductName").find("Total Commander") != std::string::npos);
}

HOST_TEST(entry, context_menu_resource) {
    HMENU menu = LoadMenuA(gPlugin.module, MAKEINTRESOURCEA(IDR_VIEWER_MENU));
    CHECK(menu);
    if (!menu) return;
    CHECK_EQ(GetMenuItemCount(menu), 1);
    HMENU popup = GetSubMenu(menu, 0);
    struct Item {
        int id;  // 0 separator, -1 submenu
        const char* text;
    };
    const Item items[] = {
        {IDM_COPY, "&Copy\tCtrl+C"},
        {IDM_PAUSE, "&Pause\tSpace"},
        {IDM_NEXT_FRAME, "&Next frame\tCtrl+Space"},
        {IDM_SHOW_FRAME_NUMBER, "&Show frame number\tCtrl+S"},
        {IDM_EXTRACT_FRAME, "&Extract frame...\tCtrl+E"},
        {IDM_EXTRACT_ALL_FRAMES, "Ex&tract all frames...\tCtrl+T"},
        {0, ""},
        {IDM_INFORMATION, "&Information...\tI"},
        {0, ""},
        {-1, "E&xport"},
        {0, ""},
        {IDM_ABOUT, "&About..."},
    };
    CHECK_EQ(GetMenuItemCount(popup), static_cast<int>(std::size(items)));
    for (int i = 0; i < static_cast<int>(std::size(items)) && i < GetMenuItemCount(popup); ++i) {
        CHECK_EQ(static_cast<int>(GetMenuItemID(popup, i)), items[i].id);
        CHECK_EQ(MenuText(popup, i), std::string(items[i].text));
    }
    HMENU exportMenu = GetSubMenu(popup, 9);
    CHECK(exportMenu);
    if (exportMenu) {
        CHECK_EQ(GetMenuItemCount(exportMenu), 3);
        const Item exports[] = {{IDM_EXPORT_GIF, "Animated &GIF...\tCtrl+G"},
                                {IDM_EXPORT_AVI, "AV&I video...\tCtrl+I"},
                                {IDM_EXPORT_SPR, "Pro &Motion Animation...\tCtrl+M"}};
        for (int i = 0; i < 3; ++i) {
            CHECK_EQ(static_cast<int>(GetMenuItemID(exportMenu, i)), exports[i].id);
            CHECK_EQ(MenuText(exportMenu, i), std::string(exports[i].text));
        }
    }
    DestroyMenu(menu);
}

HOST_TEST(entry, list_load_creates_the_viewer) {
    Lister lister(gFiles.sample, 0);
    HWND viewer = lister.viewer();
    CHECK(viewer);
    if (!viewer) return;
    char text[64];
    GetClassNameA(viewer, text, sizeof text);
    CHECK_EQ(std::string(text), std::string("WLXMovrel"));
    GetWindowTextA(viewer, text, sizeof text);
    CHECK_EQ(std::string(text), std::string("WLXMovrel"));
    CHECK_EQ(GetParent(viewer), lister.parent());
    CHECK_EQ(GetDlgCtrlID(viewer), 1);
    CHECK_EQ(static_cast<unsigned long>(GetWindowLongA(viewer, GWL_STYLE)), 0x50000000ul);  // no scroll bars for a small frame
    CHECK_EQ(GetWindowLongA(viewer, GWL_EXSTYLE), 0l);

    CHECK_EQ(static_cast<unsigned long>(GetClassLongA(viewer, GCL_STYLE)), static_cast<unsigned long>(CS_HREDRAW | CS_VREDRAW));
    CHECK_EQ(reinterpret_cast<HGDIOBJ>(GetClassLongPtrA(viewer, GCLP_HBRBACKGROUND)), GetStockObject(WHITE_BRUSH));
    CHECK_EQ(reinterpret_cast<HMODULE>(GetClassLongPtrA(viewer, GCLP_HMODULE)), gPlugin.module);
    CHECK_EQ(reinterpret_cast<HICON>(GetClassLongPtrA(viewer, GCLP_HICON)), LoadIconA(nullptr, MAKEINTRESOURCEA(32512)));
    CHECK_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrA(viewer, GCLP_HCURSOR)), LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));
    CHECK_EQ(GetClassLongA(viewer, GCL_CBCLSEXTRA), 0ul);
    CHECK_EQ(GetClassLongA(viewer, GCL_CBWNDEXTRA), 0ul);
    CHECK_EQ(reinterpret_cast<HMODULE>(GetWindowLongPtrA(viewer, GWLP_HINSTANCE)), gPlugin.module);

    const ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    CHECK_EQ(s->current, s->first);
    CHECK_EQ(ImageCount(s->first), 24);
    CHECK_EQ(s->frameCounter, 0);
    CHECK_EQ(s->paused, 0);
    CHECK_EQ(s->singleStep, 0);
    CHECK_EQ(s->fitToWindow, 0);
    CHECK_EQ(s->showFrameNumber, 0);
    CHECK_EQ(std::string(s->path), gFiles.sample);
    CHECK(IsMenu(s->menu));
    CHECK_EQ(s->popup, GetSubMenu(s->menu, 0));
}

HOST_TEST(entry, only_the_fit_bit_of_the_show_flags_counts) {
    for (int flags : {0, 1, 2, 3, 6, 0x10}) {
        Lister lister(gFiles.still, flags);
        CHECK(lister.state());
        if (lister.state()) CHECK_EQ(lister.state()->fitToWindow, flags & 2);
    }
}

HOST_TEST(entry, list_load_refuses_what_it_cannot_show) {
    for (const std::string* file : {&gFiles.missing, &gFiles.empty, &gFiles.unknown, &gFiles.damaged}) {
        Lister lister(*file, 0);
        if (lister.viewer()) CheckFailed(__FILE__, __LINE__, "ListLoad showed " + *file);
        CHECK(!HasChildWindow(lister.parent()));
    }
}

HOST_TEST(entry, a_path_longer_than_259_characters_is_refused) {
    // 259 characters is the longest name that fits, and it is shown.
    const std::string prefix = gFiles.dir + "\\";
    const size_t fill = 259 - prefix.size() - 4;
    CHECK(fill < 250);
    const std::string longest = prefix + std::string(fill, 'n') + ".flc";
    CHECK_EQ(longest.size(), size_t{259});
    CHECK(CopySample(longest));
    {
        Lister lister(longest, 0);
        CHECK(lister.viewer());
        if (lister.state()) CHECK_EQ(std::string(lister.state()->path), longest);
    }
    // Longer names are refused, even where cutting them to 259 characters
    // would name a file that can be shown.
    for (const std::string& name : {longest + "x", longest + ".flc", longest + std::string(41, 'x')}) {
        Lister lister(name, 0);
        CHECK(!lister.viewer());
        CHECK(!HasChildWindow(lister.parent()));
    }
}

HOST_TEST(entry, list_send_command) {
    Lister lister(gFiles.sample, 0);
    HWND viewer = lister.viewer();
    ViewerState* s = lister.state();
    CHECK(s);
    if (!s) return;
    Command(viewer, IDM_PAUSE);
    // Commands the plug-in does not use change nothing and report failure.
    const StateSnapshot before = Snapshot(s);
    for (int command : {0, 3, 4, 5, -1, 1000}) {
        CHECK_EQ(gPlugin.listSendCommand(viewer, command, 2), 1);
        CHECK_EQ(Snapshot(s), before);
    }
    // New parameters: only the fit bit of the show flags counts; it repaints at once.
    const struct {
        int parameter;
        int32_t fit;
    } cases[] = {{2, 2}, {0, 0}, {3, 2}, {1, 0}, {0x12, 2}, {0x10, 0}};
    for (const auto& c : cases) {
        ValidateRect(viewer, nullptr);
        CHECK_EQ(gPlugin.listSendCommand(viewer, 2, c.parameter), 0);
        CHECK_EQ(s->fitToWindow, c.fit);
        CHECK(GetUpdateRect(viewer, nullptr, FALSE));
    }
    // Not a viewer: nothing to copy.
    CHECK_EQ(gPlugin.listSendCommand(lister.parent(), 1, 0), 1);
}

HOST_TEST(clipboard, copy_puts_the_frame_on_screen_as_a_packed_dib) {
    for (const std::string* file : {&gFiles.sample, &gFiles.fli}) {
        Lister lister(*file, 0);
        const ViewerState* s = lister.state();
        CHECK(s);
        if (!s) continue;
        WaitForFrameChange(lister, 1000);
        WaitForFrameChange(lister, 1000);
        Command(lister.viewer(), IDM_PAUSE);
        const int index = lister.currentIndex();
        CHECK(index > 0);
        CHECK_EQ(gPlugin.listSendCommand(lister.viewer(), 1, 0), 0);
        ChainPtr decoded = Decode(*file);
        const std::vector<uint8_t> expected = PackedDib(FrameAt(decoded.get(), index));
        const std::vector<uint8_t> copied = ClipboardDib(lister.parent());
        CHECK_EQ(copied.size(), expected.size());
        CHECK(copied == expected);
        if (file == &gFiles.sample) CHECK_EQ(copied.size(), size_t{40 + 1024 + 320 * 200});
    }
}

HOST_TEST(clipboard, the_copy_command_copies_too) {
    Lister lister(gFiles.still, 0);
    if (OpenClipboard(lister.parent())) {
        EmptyClipboard();
        CloseClipboard();
    }
    Command(lister.viewer(), IDM_COPY);
    ChainPtr decoded = Decode(gFiles.still);
    CHECK(ClipboardDib(lister.parent()) == PackedDib(decoded.get()));
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
        WaitForSingleObject(holder->release, 10000);
        CloseClipboard();
    } else {
        SetEvent(holder->ready);
    }
    return 0;
}
}  // namespace

HOST_TEST(clipboard, copy_fails_while_another_program_holds_the_clipboard) {
    Lister lister(gFiles.sample, 0);
    Holder holder{CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, HoldClipboard, &holder, 0, nullptr);
    WaitForSingleObject(holder.ready, 5000);
    CHECK_EQ(gPlugin.listSendCommand(lister.viewer(), 1, 0), 1);
    SetEvent(holder.release);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(holder.ready);
    CloseHandle(holder.release);
    // What the other program put there is still there.
    CHECK(OpenClipboard(lister.parent()));
    CHECK(IsClipboardFormatAvailable(CF_TEXT));
    CHECK(!IsClipboardFormatAvailable(CF_DIB));
    CloseClipboard();
}

HOST_TEST(lifecycle, two_windows_at_once) {
    Lister first(gFiles.sample, 0, 0, 0, 330, 210);
    Lister second(gFiles.steps, 0, 400, 0, 200, 100);
    CHECK(first.viewer() && second.viewer());
    if (!first.viewer() || !second.viewer()) return;
    CHECK(first.state() != second.state());
    // Both play, each on its own.
    CHECK(WaitForFrameChange(first, 1000) >= 0);
    CHECK(WaitForFrameChange(second, 1000) >= 0);
    Command(first.viewer(), IDM_PAUSE);
    const int stopped = first.currentIndex();
    CHECK(WaitForFrameChange(second, 1000) >= 0);
    CHECK(WaitForFrameChange(second, 1000) >= 0);
    CHECK_EQ(first.currentIndex(), stopped);
    CHECK_EQ(second.state()->paused, 0);
    // Each shows its own frame.
    ChainPtr sample = Decode(gFiles.sample);
    Command(second.viewer(), IDM_PAUSE);
    ChainPtr steps = Decode(gFiles.steps);
    std::string where;
    const Image* a = FrameAt(sample.get(), first.currentIndex());
    const Image* b = FrameAt(steps.get(), second.currentIndex());
    CHECK_EQ(CountMismatches(CaptureClient(first.viewer()), {0, 0, 320, 200}, [&](int x, int y) { return PixelColor(a, x, y); }, &where), 0);
    CHECK_EQ(CountMismatches(CaptureClient(second.viewer()), {0, 0, 64, 48}, [&](int x, int y) { return PixelColor(b, x, y); }, &where), 0);
    // Closing one leaves the other working.
    first.destroyViewer();
    Command(second.viewer(), IDM_PAUSE);
    CHECK(WaitForFrameChange(second, 1000) >= 0);
}

HOST_TEST(lifecycle, destroying_the_window_frees_everything) {
    { Lister warmUp(gFiles.sample, 0); }  // one-time costs: the class, fonts, caches
    const ResourceCounts before = CountResources();
    std::vector<HPALETTE> palettes;
    HMENU menu = nullptr;
    {
        Lister lister(gFiles.sample, 0, 0, 0, 640, 480, false);
        const ViewerState* s = lister.state();
        CHECK(s);
        if (!s) return;
        menu = s->menu;
        for (const Image* frame = s->first; frame; frame = ImageNext(frame)) palettes.push_back(static_cast<HPALETTE>(frame->palette));
        WaitForFrameChange(lister, 1000);
        CaptureClient(lister.viewer());
        lister.destroyViewer();
        CHECK(!HasChildWindow(lister.parent()));
    }
    Pump(50);
    CHECK(!IsMenu(menu));
    int live = 0;
    for (HPALETTE palette : palettes) live += GetObjectType(palette) != 0;
    CHECK_EQ(live, 0);
    const ResourceCounts after = CountResources();
    Note("heap %+lld bytes, %+d blocks; GDI %+d; USER %+d (%s)",
         static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes), after.heapBlocks - before.heapBlocks,
         after.gdiObjects - before.gdiObjects, after.userObjects - before.userObjects, after.method);
    CHECK(after.heapBytes <= before.heapBytes + 1024);
    CHECK_EQ(after.gdiObjects, before.gdiObjects);
    CHECK_EQ(after.userObjects, before.userObjects);
}

HOST_TEST(leaks, load_and_destroy_200_times) {
    auto cycle = [] {
        Lister lister(gFiles.sample, 0, 0, 0, 400, 300, false);
        CHECK(lister.viewer());
        Pump(0);
    };
    for (int i = 0; i < 5; ++i) cycle();
    const ResourceCounts before = CountResources();
    const double start = NowMs();
    for (int i = 0; i < 200; ++i) cycle();
    const double elapsed = NowMs() - start;
    Pump(50);
    const ResourceCounts after = CountResources();
    const long long heapDelta = static_cast<long long>(after.heapBytes) - static_cast<long long>(before.heapBytes);
    Note("200 cycles in %.0f ms; heap busy bytes %llu -> %llu (%+lld), blocks %+d; GDI objects %d -> %d; USER objects %d -> %d; counted by %s",
         elapsed, static_cast<unsigned long long>(before.heapBytes), static_cast<unsigned long long>(after.heapBytes), heapDelta,
         after.heapBlocks - before.heapBlocks, before.gdiObjects, after.gdiObjects, before.userObjects, after.userObjects,
         after.method);
    // One leaked frame would be 65 KB, one leaked state block 300 bytes a cycle.
    CHECK(heapDelta < 16 * 1024);
    CHECK_EQ(after.gdiObjects, before.gdiObjects);
    CHECK_EQ(after.userObjects, before.userObjects);
}
