// movrel-view: shows a file through the lister plug-in in a resizable window,
// the way the file manager's lister does, so the plug-in can be used and
// looked at without the file manager. With --screenshot it saves what the
// window shows after a while and exits, which also works without a screen
// user (under Xvfb).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shell/lister_interface.h"

namespace {

constexpr char kUsage[] =
    "usage: movrel-view [--fit] [--size WxH] [--plugin DLL] [--screenshot OUT.bmp [--after MS]] FILE\n"
    "  Shows FILE through the lister plug-in. Keys: Escape closes, F switches fit-to-window,\n"
    "  Ctrl+C copies the frame; the plug-in's own keys (Space, Ctrl+Space, arrows...) work as in the lister.\n"
    "  --screenshot saves the window's client area as a 24-bit BMP after MS milliseconds (default 1000) and exits.\n";

constexpr char kFrameClass[] = "MovrelView";
constexpr UINT_PTR kScreenshotTimer = 1;

struct Options {
    std::string file;
    std::string plugin;
    std::string screenshot;
    int afterMs = 1000;
    int width = 640;
    int height = 480;
    bool fit = false;
    bool help = false;
};

struct Viewer {
    ListLoadWFunction listLoad = nullptr;
    ListSendCommandFunction listSendCommand = nullptr;
    HWND frame = nullptr;
    HWND lister = nullptr;
    int showFlags = 0;
    std::string screenshot;
    bool screenshotFailed = false;
};

Viewer gViewer;

// The arguments are kept in UTF-8 and handed to the system as UTF-16.
std::wstring Wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    wide.pop_back();
    return wide;
}

std::string Utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    if (length > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

bool ParseSize(const char* text, int* width, int* height) {
    char* end = nullptr;
    const long w = std::strtol(text, &end, 10);
    if (end == text || *end != 'x') return false;
    const char* rest = end + 1;
    const long h = std::strtol(rest, &end, 10);
    if (end == rest || *end != '\0' || w < 16 || h < 16 || w > 8192 || h > 8192) return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

bool ParseArguments(int argc, const char* const* argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            return true;
        } else if (arg == "--fit") {
            options->fit = true;
        } else if (arg == "--plugin" && hasValue) {
            options->plugin = argv[++i];
        } else if (arg == "--screenshot" && hasValue) {
            options->screenshot = argv[++i];
        } else if (arg == "--after" && hasValue) {
            char* end = nullptr;
            const long ms = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || ms < 0 || ms > 600000) return false;
            options->afterMs = static_cast<int>(ms);
        } else if (arg == "--size" && hasValue) {
            if (!ParseSize(argv[++i], &options->width, &options->height)) return false;
        } else if (!arg.empty() && arg[0] == '-') {
            return false;
        } else if (options->file.empty()) {
            options->file = arg;
        } else {
            return false;
        }
    }
    return !options->file.empty();
}

// Where the viewer keeps its settings, as the file manager keeps a
// plug-in's: an ini file of its own, %APPDATA%\Movrel\movrel-view.ini.
// Empty when there is no such folder.
std::string SettingsIni() {
    char appData[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("APPDATA", appData, sizeof appData);
    if (length == 0 || length >= sizeof appData) return {};
    const std::string folder = std::string(appData) + "\\Movrel";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string ini = folder + "\\movrel-view.ini";
    return ini.size() < MAX_PATH ? ini : std::string();
}

// The plug-in beside this program: Movrel.wlx next to the 32-bit build,
// Movrel.wlx64 next to the 64-bit one.
std::string DefaultPluginPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return MOVREL_PLUGIN_NAME;
    std::string dir(path, length);
    const size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    return dir + MOVREL_PLUGIN_NAME;
}

// Writes the frame window's client area as a bottom-up 24-bit BMP, through
// a temporary file so that a failed write never replaces a good file.
bool SaveScreenshot(HWND window, const std::string& fileName) {
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    if (width <= 0 || height <= 0) return false;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC windowDc = GetDC(window);
    HBITMAP bitmap = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memoryDc = CreateCompatibleDC(windowDc);
    bool ok = bitmap && memoryDc;
    if (ok) {
        HGDIOBJ old = SelectObject(memoryDc, bitmap);
        ok = BitBlt(memoryDc, 0, 0, width, height, windowDc, 0, 0, SRCCOPY) != FALSE;
        SelectObject(memoryDc, old);
        GdiFlush();
    }
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD bitsSize = stride * static_cast<DWORD>(height);
    std::vector<uint8_t> file;
    if (ok) {
        BITMAPFILEHEADER header{};
        header.bfType = 0x4D42;  // "BM"
        header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        header.bfSize = header.bfOffBits + bitsSize;
        info.bmiHeader.biSizeImage = bitsSize;
        const auto* headerBytes = reinterpret_cast<const uint8_t*>(&header);
        const auto* infoBytes = reinterpret_cast<const uint8_t*>(&info.bmiHeader);
        file.insert(file.end(), headerBytes, headerBytes + sizeof header);
        file.insert(file.end(), infoBytes, infoBytes + sizeof(BITMAPINFOHEADER));
        file.insert(file.end(), static_cast<const uint8_t*>(bits), static_cast<const uint8_t*>(bits) + bitsSize);
    }
    if (memoryDc) DeleteDC(memoryDc);
    if (bitmap) DeleteObject(bitmap);
    ReleaseDC(window, windowDc);
    if (!ok) return false;

    const std::string temporary = fileName + ".part";
    HANDLE out = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool complete = WriteFile(out, file.data(), static_cast<DWORD>(file.size()), &written, nullptr) && written == file.size();
    CloseHandle(out);
    if (!complete || !MoveFileExW(Wide(temporary).c_str(), Wide(fileName).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(Wide(temporary).c_str());
        return false;
    }
    return true;
}

// Keys the plug-in leaves to its host arrive here as WM_KEYDOWN.
void OnHostKey(HWND window, WPARAM key) {
    const bool ctrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
    if (key == VK_ESCAPE) {
        DestroyWindow(window);
    } else if (key == 'F' && !ctrl) {
        gViewer.showFlags ^= kShowFitToWindow;
        gViewer.listSendCommand(gViewer.lister, kListCommandNewParameters, gViewer.showFlags);
        // The lister adopts the new scroll ranges at its next size change.
        RECT client;
        GetClientRect(window, &client);
        SendMessageA(gViewer.lister, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    } else if (key == 'C' && ctrl) {
        gViewer.listSendCommand(gViewer.lister, kListCommandCopy, 0);
    }
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SIZE:
            if (gViewer.lister) MoveWindow(gViewer.lister, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
            return 0;
        case WM_SETFOCUS:
        case WM_LBUTTONDOWN:
            if (gViewer.lister) SetFocus(gViewer.lister);
            return 0;
        case WM_KEYDOWN:
            OnHostKey(window, wparam);
            return 0;
        case WM_TIMER:
            if (wparam == kScreenshotTimer) {
                KillTimer(window, kScreenshotTimer);
                gViewer.screenshotFailed = !SaveScreenshot(window, gViewer.screenshot);
                DestroyWindow(window);
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wparam, lparam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** wideArgv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(Utf8(wideArgv[i]));
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    Options options;
    if (!ParseArguments(argc, argv.data(), &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string pluginPath = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
    HMODULE plugin = LoadLibraryW(Wide(pluginPath).c_str());
    if (!plugin) {
        std::fprintf(stderr, "movrel-view: cannot load the plug-in %s (error %lu)\n", pluginPath.c_str(), GetLastError());
        return 1;
    }
    gViewer.listLoad = reinterpret_cast<ListLoadWFunction>(reinterpret_cast<void*>(GetProcAddress(plugin, "ListLoadW")));
    gViewer.listSendCommand =
        reinterpret_cast<ListSendCommandFunction>(reinterpret_cast<void*>(GetProcAddress(plugin, "ListSendCommand")));
    if (!gViewer.listLoad || !gViewer.listSendCommand) {
        std::fprintf(stderr, "movrel-view: %s is not a lister plug-in\n", pluginPath.c_str());
        return 1;
    }
    auto setDefaultParams = reinterpret_cast<ListSetDefaultParamsFunction>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "ListSetDefaultParams")));
    const std::string ini = SettingsIni();
    if (setDefaultParams && !ini.empty()) {
        ListDefaultParamStruct params{};
        params.size = sizeof params;
        params.PluginInterfaceVersionLow = 0;
        params.PluginInterfaceVersionHi = 2;
        std::memcpy(params.DefaultIniName, ini.c_str(), ini.size() + 1);
        setDefaultParams(&params);
    }

    WNDCLASSA frameClass{};
    frameClass.lpfnWndProc = FrameProc;
    frameClass.hInstance = GetModuleHandleA(nullptr);
    frameClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    frameClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    frameClass.lpszClassName = kFrameClass;
    RegisterClassA(&frameClass);

    RECT bounds{0, 0, options.width, options.height};
    AdjustWindowRect(&bounds, WS_OVERLAPPEDWINDOW, FALSE);
    const std::wstring title = Wide("Movrel - " + options.file);
    // At the screen's corner, so that a headless screenshot sees all of it.
    gViewer.frame = CreateWindowExW(0, Wide(kFrameClass).c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, bounds.right - bounds.left,
                                    bounds.bottom - bounds.top, nullptr, nullptr, frameClass.hInstance, nullptr);
    if (!gViewer.frame) {
        std::fprintf(stderr, "movrel-view: cannot create a window (error %lu)\n", GetLastError());
        return 1;
    }
    gViewer.showFlags = options.fit ? kShowFitToWindow : 0;
    std::wstring fileName = Wide(options.file);
    gViewer.lister = gViewer.listLoad(gViewer.frame, fileName.data(), gViewer.showFlags);
    if (!gViewer.lister) {
        std::fprintf(stderr, "movrel-view: %s: the plug-in cannot show this file\n", options.file.c_str());
        DestroyWindow(gViewer.frame);
        // Started from a desktop, nobody reads stderr; a screenshot run has nobody to answer a box.
        if (options.screenshot.empty()) {
            const std::wstring text = Wide("Movrel cannot show this file:\n" + options.file);
            MessageBoxW(nullptr, text.c_str(), L"Movrel", MB_OK | MB_ICONERROR);
        }
        return 1;
    }
    RECT client;
    GetClientRect(gViewer.frame, &client);
    MoveWindow(gViewer.lister, 0, 0, client.right, client.bottom, TRUE);
    ShowWindow(gViewer.frame, SW_SHOW);
    SetForegroundWindow(gViewer.frame);
    SetFocus(gViewer.lister);
    if (!options.screenshot.empty()) {
        gViewer.screenshot = options.screenshot;
        SetTimer(gViewer.frame, kScreenshotTimer, static_cast<UINT>(options.afterMs), nullptr);
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    FreeLibrary(plugin);
    if (gViewer.screenshotFailed) {
        std::fprintf(stderr, "movrel-view: cannot write the screenshot %s\n", options.screenshot.c_str());
        return 1;
    }
    return 0;
}
