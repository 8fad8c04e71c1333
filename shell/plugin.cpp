// What the file manager sees: the library entry and the functions of its
// lister interface.
#include <windows.h>

#include <cstring>

#include "formats/format.h"
#include "shell/detect_string.h"
#include "shell/viewer.h"

HINSTANCE gModule = nullptr;
char gSettingsFile[MAX_PATH] = "";

namespace {

constexpr int kCommandCopy = 1;           // the host's copy request
constexpr int kCommandNewParameters = 2;  // new show flags in the parameter
constexpr int kHostSuccess = 0;
constexpr int kHostFailure = 1;

bool IsViewerWindow(HWND window) {
    char name[sizeof kViewerClassName + 1];
    return IsWindow(window) && GetClassNameA(window, name, sizeof name) > 0 && lstrcmpA(name, kViewerClassName) == 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return FALSE;
    gModule = module;
    FormatRegisterAll();
    return TRUE;
}

extern "C" HWND __stdcall ListLoad(HWND parent, char* fileToLoad, int showFlags) {
    WNDCLASSA windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;  // every size change repaints everything
    windowClass.lpfnWndProc = ViewerWndProc;
    windowClass.hInstance = gModule;
    windowClass.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kViewerClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when an earlier call registered it

    ViewerCreateParams params{fileToLoad, showFlags};
    // The host sizes the window afterwards; the scroll bars appear once the
    // viewer gives them a range.
    return CreateWindowExA(0, kViewerClassName, kViewerClassName, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(1), gModule, &params);
}

// The next file in the same window (quick view's cursor moves, Lister's n
// and p): no flicker of a new window. On failure the host falls back to a
// fresh ListLoad.
extern "C" int __stdcall ListLoadNext(HWND, HWND listWin, char* fileToLoad, int showFlags) {
    if (!IsViewerWindow(listWin)) return kHostFailure;
    return ViewerLoadNext(listWin, fileToLoad, showFlags) ? kHostSuccess : kHostFailure;
}

// The thumbnail view: the first frame, area-averaged to fit the box, in a
// DIB section of exactly that size that the host centres and deletes. Only
// the first frame is decoded, so a long animation costs what a still does.
extern "C" HBITMAP __stdcall ListGetPreviewBitmap(char* fileToLoad, int width, int height, char*, int) {
    if (!fileToLoad) return nullptr;
    LoadRequest request{};
    Image* thumbnail = ImageLoadThumbnail(fileToLoad, width, height, &request);
    if (!thumbnail) return nullptr;
    // Our images are laid out as bottom-up DIBs: the rows go over as they are.
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(ImageHeader(thumbnail)), DIB_RGB_COLORS,
                                      &bits, nullptr, 0);
    if (bitmap) std::memcpy(bits, ImageBits(thumbnail), static_cast<size_t>(ImageBitsSize(thumbnail)));
    ImageDestroy(thumbnail);
    return bitmap;
}

extern "C" int __stdcall ListSendCommand(HWND listWin, int command, int parameter) {
    switch (command) {
        case kCommandCopy:
            if (!IsViewerWindow(listWin)) return kHostFailure;
            return ViewerCopy(listWin) ? kHostSuccess : kHostFailure;
        case kCommandNewParameters:
            if (IsViewerWindow(listWin)) ViewerSetShowFlags(listWin, parameter);
            return kHostSuccess;
        default: return kHostFailure;
    }
}

// What the host hands over right after loading the library.
struct ListDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[MAX_PATH];
};

extern "C" void __stdcall ListSetDefaultParams(ListDefaultParamStruct* params) {
    // The plug-in's own folder may not be writable; the host's ini file is.
    if (params && params->size >= static_cast<int>(sizeof *params)) lstrcpynA(gSettingsFile, params->DefaultIniName, MAX_PATH);
}

extern "C" void __stdcall ListGetDetectString(char* detectString, int maxLength) {
    // Cut short, the expression would mean something else: an ample buffer
    // gets all of it, a small one only the plain FLIC extensions.
    constexpr char kShort[] = "EXT=\"FLI\" | EXT=\"FLC\"";
    const char* text = maxLength >= static_cast<int>(sizeof kDetectString) ? kDetectString : kShort;
    if (maxLength >= static_cast<int>(sizeof kShort)) lstrcpynA(detectString, text, maxLength);
    else if (maxLength > 0) detectString[0] = '\0';
}
