// The host's main, the helper thread and its watchdog, the test files and
// the process's resource counts.
//
// usage: plugin_host PLUGIN.wlx SAMPLE.flc [GoogleTest flags]
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <type_traits>

#include "codecs/codecs.h"
#include "tests/support/flic_writer.h"
#include "tests/support/gif_builder.h"
#include "tests/win32/host.h"

#include <tlhelp32.h>

Plugin gPlugin;
TestFiles gFiles;

std::wstring Wide(const std::string& utf8) { return WideFileName(utf8.c_str()); }

std::string Utf8(const wchar_t* wide) {
    std::vector<char> text(wide ? std::wcslen(wide) * 3 + 1 : 1);
    Utf8FromWide(wide, text.data(), text.size());
    return text.data();
}

bool LoadPlugin(const std::string& path, Plugin* plugin) {
    *plugin = Plugin{};
    plugin->module = LoadLibraryW(Wide(path).c_str());
    auto find = [&](auto* function, const char* name) {
        *function = reinterpret_cast<std::remove_pointer_t<decltype(function)>>(
            reinterpret_cast<void*>(GetProcAddress(plugin->module, name)));
    };
    find(&plugin->listLoad, "ListLoad");
    find(&plugin->listLoadW, "ListLoadW");
    find(&plugin->listLoadNextW, "ListLoadNextW");
    find(&plugin->listSendCommand, "ListSendCommand");
    find(&plugin->listSetDefaultParams, "ListSetDefaultParams");
    find(&plugin->listGetDetectString, "ListGetDetectString");
    find(&plugin->listGetPreviewBitmap, "ListGetPreviewBitmap");
    find(&plugin->listGetPreviewBitmapW, "ListGetPreviewBitmapW");
    return plugin->listLoadW && plugin->listSendCommand;
}

namespace {

// A palette without white, so that white on screen is always background.
std::vector<Rgb> TestPalette() {
    std::vector<Rgb> colors;
    for (int i = 0; i < 256; ++i) colors.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i)});
    return colors;
}

// Each picture a frame, the palette in the first.
std::vector<uint8_t> Flic(uint16_t magic, uint32_t delay, const std::vector<Picture>& pictures) {
    FlicWriter flic(magic, pictures[0].width, pictures[0].height, delay);
    flic.frame();
    if (magic == 0xAF11) flic.color64({{0, TestPalette()}});
    else flic.color256({{0, TestPalette()}});
    for (size_t i = 0; i < pictures.size(); ++i) (i == 0 ? flic : flic.frame()).copy(pictures[i]);
    return flic.finish();
}

// Frame 0 flat, then a band of its own colour over the frame before for
// each next frame: every frame differs from the others.
std::vector<uint8_t> MakeGif() {
    GifBuilder gif(48, 32);
    gif.globalTable(TestColors(16)).loopExtension();
    for (int f = 0; f < 9; ++f) {
        GifImage band{0, f == 0 ? 0 : 3 * f, 48, f == 0 ? 32 : 3};
        band.minCodeSize = 4;
        band.pixels.assign(static_cast<size_t>(48) * band.height, static_cast<uint8_t>(f));
        gif.control(1, 5).image(band);
    }
    return gif.finish();
}

// The names in a folder, sorted, without "." and "..".
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(Wide(dir + "\\*").c_str(), &entry);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &entry))
        if (const std::string name = Utf8(entry.cFileName); name != "." && name != "..") names.push_back(name);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& dir) {
    for (const std::string& name : Names(dir))
        if (!DeleteFileW(Wide(dir + "\\" + name).c_str())) RemoveTree(dir + "\\" + name);
    RemoveDirectoryW(Wide(dir).c_str());
}

void MakeTestFiles(const std::string& sample) {
    char temp[MAX_PATH], full[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    gFiles.dir = std::string(temp) + "movrel-host-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(gFiles.dir.c_str(), nullptr);
    const std::string dir = gFiles.dir + "\\";
    // Absolute, since tests move the current directory.
    const DWORD length = GetFullPathNameA(sample.c_str(), MAX_PATH, full, nullptr);
    gFiles.sample = length > 0 && length < MAX_PATH ? full : sample;

    WriteBytes(gFiles.steps = dir + "steps.flc", Flic(0xAF12, 100, {Picture(64, 48, 40), Picture(64, 48, 90), Picture(64, 48, 140), Picture(64, 48, 190)}));
    std::vector<Picture> large(2, Picture(480, 360));
    for (int f = 0; f < 2; ++f)
        for (int y = 0; y < 360; ++y)
            for (int x = 0; x < 480; ++x) large[f].at(x, y) = static_cast<uint8_t>((x + 3 * y + 101 * f) % 251);
    WriteBytes(gFiles.large = dir + "large.flc", Flic(0xAF12, 100, large));
    WriteBytes(gFiles.still = dir + "still.flc", Flic(0xAF12, 0, {Picture(40, 30, 77)}));
    WriteBytes(gFiles.fli = dir + "anim.fli", Flic(0xAF11, 5, {Picture(32, 20, 9), Picture(32, 20, 19), Picture(32, 20, 29)}));
    WriteBytes(gFiles.gif = dir + "bands.gif", MakeGif());
    ChainPtr deep(ImageCreate(40, 30, 32));
    SaveRequest save{kFormatBmp, nullptr, nullptr, kErrorNone};
    ImageSaveFile(deep.get(), (gFiles.deep = dir + "deep.bmp").c_str(), &save);
    WriteBytes(gFiles.film = dir + "film.flc", MakeFilm(6000, 10, 640, 480));
    WriteBytes(gFiles.strip = dir + "strip.flc", MakeFilm(1000, 10, 128, 96));

    WriteBytes(gFiles.empty = dir + "empty.flc", {});
    const std::string text = "Not a picture at all, just a few words of text.\r\n";
    WriteBytes(gFiles.unknown = dir + "notes.txt", std::vector<uint8_t>(text.begin(), text.end()));
    std::vector<uint8_t> cut = ReadBytes(sample);
    cut.resize(cut.size() * 3 / 5);
    WriteBytes(gFiles.damaged = dir + "damaged.flc", cut);
    cut.resize(300);  // inside the first frame
    WriteBytes(gFiles.broken = dir + "broken.flc", cut);
    gFiles.missing = dir + "no such file.flc";
    if (const char* hostile = std::getenv("MOVREL_HOSTILE_DIR"); hostile && *hostile)
        for (const std::string& name : Names(hostile)) gFiles.hostile.push_back(std::string(hostile) + "\\" + name);
}

DWORD gMainThread = 0;
std::atomic<bool> gStopHelper{false};
// A test may go a minute without a step forward (its start, or Progress()):
// long enough for any one step on a busy machine, while one left waiting on
// a window nobody answers is caught within a minute.
constexpr ULONGLONG kStepLimitMs = 60000;
std::atomic<ULONGLONG> gDeadline{0};  // 0: no test running
std::atomic<bool> gDeadlineHit{false};

BOOL CALLBACK CollectVisible(HWND window, LPARAM param) {
    if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

// Hands the main thread's windows to the expectations and watches the test:
// one that makes no step forward for a minute has what is open closed and
// fails; one that stays stuck after that ends the run.
DWORD WINAPI HelperThread(void*) {
    while (!gStopHelper) {
        Sleep(15);
        std::vector<HWND> visible;
        EnumThreadWindows(gMainThread, CollectVisible, reinterpret_cast<LPARAM>(&visible));
        HandleWindows(visible);
        const ULONGLONG deadline = gDeadline;
        if (!deadline || GetTickCount64() <= deadline) continue;
        std::string open;
        for (HWND window : visible) open += "\n    open: " + Describe(window);
        if (gDeadlineHit) {
            for (const std::string& failure : TakeHelperFailures()) std::printf("    helper: %s\n", failure.c_str());
            std::printf("[  FAILED  ] watchdog: the test is still stuck; giving up%s\n", open.c_str());
            TerminateProcess(GetCurrentProcess(), 3);
        }
        gDeadlineHit = true;
        ReportHelperFailure("timed out; closing what is open" + open);
        gDeadline = GetTickCount64() + 5000;
        for (HWND window : visible) Dismiss(window);
    }
    return 0;
}

// A crash ends the run at once, said in the log. Without this, wine starts
// its debugger, which waits on a dialog that nobody answers.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::printf("[  FAILED  ] crashed: exception 0x%08lx at %p\n", info->ExceptionRecord->ExceptionCode,
                info->ExceptionRecord->ExceptionAddress);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

std::vector<uint8_t> MakeFilm(int frames, uint32_t delay, int width, int height) {
    Picture first(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) first.at(x, y) = static_cast<uint8_t>((x / 16 + y / 16) % 2 ? (x ^ y) : 17);
    FlicWriter film(0xAF12, width, height, delay);
    film.frame().color256({{0, TestPalette()}}).copy(first);
    for (int f = 1; f < frames; ++f) {
        const int y = f * 7 % height, x = f * 5 % (width - 48);
        const uint16_t skip = static_cast<uint16_t>(-y);  // a line-skip word
        // One line (after y skipped), one packet: skip x pixels, then the frame's number 24 times.
        Bytes delta = {1, 0, static_cast<uint8_t>(skip), static_cast<uint8_t>(skip >> 8), 1, 0, static_cast<uint8_t>(x),
                       static_cast<uint8_t>(-24), static_cast<uint8_t>(f), static_cast<uint8_t>(f >> 8)};
        if (y == 0) delta.erase(delta.begin() + 2, delta.begin() + 4);
        film.frame().subchunk(7, delta);
    }
    return film.finish();
}

void HostTest::SetUp() {
    ResetHelper();
    gDeadlineHit = false;
    gDeadline = GetTickCount64() + kStepLimitMs;
}

void Progress() {
    if (gDeadline) gDeadline = GetTickCount64() + kStepLimitMs;
}

void HostTest::TearDown() {
    ReleaseKeys();
    Pump(0);
    gDeadline = 0;
    ExpectationMet();  // disarms
    for (const std::string& failure : TakeHelperFailures()) ADD_FAILURE() << "helper: " << failure;
}

void Note(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("    note: %s\n", text);
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << path;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

std::string gSaveFolder;

OutputDir::OutputDir(const char* name) : path_(gFiles.dir + "\\" + name) {
    CreateDirectoryA(path_.c_str(), nullptr);
    enter();
}

OutputDir::~OutputDir() {
    SetCurrentDirectoryA(gFiles.dir.c_str());
    gSaveFolder = gFiles.dir;
}

void OutputDir::enter() const {
    SetCurrentDirectoryA(path_.c_str());
    gSaveFolder = path_;
}

std::string OutputDir::list(const std::string& subdirectory) const {
    std::string text = "{";
    for (const std::string& name : Names(subdirectory.empty() ? path_ : file(subdirectory))) text += (text.size() > 1 ? ", " : "") + name;
    return text + "}";
}

ResourceCounts CountResources() {
    ResourceCounts counts;
    HANDLE heaps[64];
    const DWORD heapCount = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < heapCount && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (!(entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)) continue;
            counts.heapBytes += entry.cbData;
            ++counts.heapBlocks;
        }
        HeapUnlock(heaps[i]);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0) {
        counts.handles = static_cast<int>(handles);
    } else {  // wine answers 0: every handle value (a multiple of 4) is asked instead
        for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
            DWORD flags = 0;
            counts.handles += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
        }
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread))
        counts.threads += thread.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    counts.gdiObjects = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
    counts.userObjects = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    if (counts.gdiObjects == 0 && counts.userObjects == 0) {
        // Wine answers GetGuiResources with 0. Its handle checks accept a
        // handle whose upper word is 0 for any generation of the slot, so
        // asking every slot counts the live objects of each kind.
        for (ULONG_PTR slot = 1; slot < 0x10000; ++slot) counts.gdiObjects += GetObjectType(reinterpret_cast<HGDIOBJ>(slot)) != 0;
        for (ULONG_PTR slot = 0x20; slot < 0x10000; slot += 2)
            counts.userObjects += IsMenu(reinterpret_cast<HMENU>(slot)) + IsWindow(reinterpret_cast<HWND>(slot));
    }
    return counts;
}

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::printf("usage: plugin_host PLUGIN.wlx SAMPLE.flc [GoogleTest flags]\n");
        return 2;
    }
    // No "program has stopped" dialog: a crash ends the run and is reported.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    gMainThread = GetCurrentThreadId();
    MSG ignored;  // the message queue exists before the helper looks at our windows
    PeekMessageA(&ignored, nullptr, 0, 0, PM_NOREMOVE);
    HANDLE helper = CreateThread(nullptr, 0, HelperThread, nullptr, 0, nullptr);
    if (!LoadPlugin(argv[1], &gPlugin)) {
        std::printf("%s does not load, or lacks ListLoadW or ListSendCommand (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    // The host's own copy of the image library, for expected pictures and
    // for reading back what the plug-in wrote.
    FormatRegisterAll();
    MakeTestFiles(argv[2]);
    SetCurrentDirectoryA(gFiles.dir.c_str());  // where the save dialogs start
    const int result = RUN_ALL_TESTS();
    // Stopped before exit, so that it never dies holding a lock the exit needs.
    gStopHelper = true;
    WaitForSingleObject(helper, 5000);
    CloseHandle(helper);
    SetCurrentDirectoryA((gFiles.dir + "\\..").c_str());
    RemoveTree(gFiles.dir);
    // A filter that names no test is a mistake, not a pass.
    return testing::UnitTest::GetInstance()->test_to_run_count() == 0 ? 1 : result;
}
