// What the file manager sees: the library entry and the functions of its
// lister interface.
#include <windows.h>

#include <cstring>
#include <memory>

#include "codecs/codecs.h"
#include "formats/format.h"
#include "formats/save.h"
#include "platform/platform.h"
#include "shell/detect_string.h"
#include "shell/lister_interface.h"
#include "shell/viewer.h"
#include "shell/viewer_print.h"

HINSTANCE gModule = nullptr;
char gSettingsFile[MAX_PATH] = "";

namespace {

// The library carries names as UTF-8. A host's name that does not convert
// (or does not fit) becomes empty, which no file has.
struct Utf8Name {
    char text[kMaxPath];

    explicit Utf8Name(const wchar_t* wide) {
        if (!wide || !Utf8FromWide(wide, text, sizeof text)) text[0] = '\0';
    }
    // The ANSI entry points get names in the system's ANSI code page.
    explicit Utf8Name(const char* ansi) : Utf8Name(WideFromAnsi(ansi).c_str()) {}

    static std::wstring WideFromAnsi(const char* ansi) {
        const int length = ansi ? MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0) : 0;
        if (length <= 1) return {};
        std::wstring wide(static_cast<size_t>(length), L'\0');
        if (MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), length) != length) return {};
        wide.pop_back();
        return wide;
    }
};

HWND Load(HWND parent, const char* fileName, int showFlags) {
    if (!fileName[0]) return nullptr;
    WNDCLASSA windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;  // every size change repaints everything
    windowClass.lpfnWndProc = ViewerWndProc;
    windowClass.hInstance = gModule;
    windowClass.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512));  // IDI_APPLICATION
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kViewerClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when an earlier call registered it

    ViewerCreateParams params{fileName, showFlags};
    // The host sizes the window afterwards; the scroll bars appear once the
    // viewer gives them a range.
    return CreateWindowExA(0, kViewerClassName, kViewerClassName, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(1), gModule, &params);
}

int LoadNext(HWND listWin, const char* fileName, int showFlags) {
    Viewer* viewer = ViewerFromWindow(listWin);
    if (!fileName[0] || !viewer) return kListFailure;
    return ViewerLoadNext(*viewer, fileName, showFlags) ? kListSuccess : kListFailure;
}

HBITMAP PreviewBitmap(const char* fileName, int width, int height) {
    if (!fileName[0]) return nullptr;
    LoadRequest request{};
    Image* thumbnail = ImageLoadThumbnail(fileName, width, height, &request);
    if (!thumbnail) return nullptr;
    // Our images are laid out as bottom-up DIBs: the rows go over as they are.
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(ImageHeader(thumbnail)), DIB_RGB_COLORS,
                                      &bits, nullptr, 0);
    if (bitmap) std::memcpy(bits, ImageBits(thumbnail), static_cast<size_t>(ImageBitsSize(thumbnail)));
    ImageDestroy(thumbnail);
    return bitmap;
}

// The frame on screen, on the printer the user picks in the print dialog.
// Cancelled is no failure; a failure has been told in a message box.
int Print(HWND listWin, const wchar_t* fileToPrint, const wchar_t* printer, const RECT* margins) {
    const Viewer* viewer = ViewerFromWindow(listWin);
    if (!viewer || !viewer->playback.frame()) return kListFailure;
    // A copy: playback goes on while the dialog is open, and the frame on
    // screen with it.
    ImagePtr frame(ImageDuplicate(viewer->playback.frame()));
    if (!frame) return kListFailure;
    // The job is named after the file, as the printer's queue shows it.
    const wchar_t* title = fileToPrint && *fileToPrint ? fileToPrint : L"Movrel";
    for (const wchar_t* at = title; *at; ++at)
        if ((*at == L'\\' || *at == L'/') && at[1]) title = at + 1;
    const int result = ViewerPrint(listWin, frame.get(), printer && *printer ? printer : nullptr, margins, title);
    return result == kPrintFailed ? kListFailure : kListSuccess;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = module;
        FormatRegisterAll();
    }
    // The host frees the library between uses and may load it elsewhere: a
    // class left registered would point at code that is gone. (At process
    // exit, `reserved` is set and the system cleans up.)
    if (reason == DLL_PROCESS_DETACH && !reserved) UnregisterClassA(kViewerClassName, module);
    return TRUE;
}

// The host calls the wide forms where they exist, the others on systems
// without them.
extern "C" HWND __stdcall ListLoad(HWND parent, char* fileToLoad, int showFlags) {
    return Load(parent, Utf8Name(fileToLoad).text, showFlags);
}

extern "C" HWND __stdcall ListLoadW(HWND parent, WCHAR* fileToLoad, int showFlags) {
    return Load(parent, Utf8Name(fileToLoad).text, showFlags);
}

// The next file in the same window (quick view's cursor moves, Lister's n
// and p): no flicker of a new window. On failure the host falls back to a
// fresh ListLoad.
extern "C" int __stdcall ListLoadNext(HWND, HWND listWin, char* fileToLoad, int showFlags) {
    return LoadNext(listWin, Utf8Name(fileToLoad).text, showFlags);
}

extern "C" int __stdcall ListLoadNextW(HWND, HWND listWin, WCHAR* fileToLoad, int showFlags) {
    return LoadNext(listWin, Utf8Name(fileToLoad).text, showFlags);
}

// The thumbnail view: the first frame that shows a picture (a black or flat
// intro is passed over, within a bounded look ahead), area-averaged to fit
// the box, in a DIB section of exactly that size that the host centres and
// deletes.
extern "C" HBITMAP __stdcall ListGetPreviewBitmap(char* fileToLoad, int width, int height, char*, int) {
    return PreviewBitmap(Utf8Name(fileToLoad).text, width, height);
}

extern "C" HBITMAP __stdcall ListGetPreviewBitmapW(WCHAR* fileToLoad, int width, int height, char*, int) {
    return PreviewBitmap(Utf8Name(fileToLoad).text, width, height);
}

extern "C" int __stdcall ListSendCommand(HWND listWin, int command, int parameter) {
    Viewer* viewer = ViewerFromWindow(listWin);
    switch (command) {
        case kListCommandCopy:
            if (!viewer) return kListFailure;
            return ViewerCopy(*viewer) ? kListSuccess : kListFailure;
        case kListCommandNewParameters:
            if (viewer) ViewerSetShowFlags(*viewer, parameter);
            return kListSuccess;
        case kListCommandSetPercent:
            if (!viewer) return kListFailure;
            // The frame shows once decoded; nothing waits for it here.
            viewer->playback.goToPercent(parameter);
            return kListSuccess;
        default: return kListFailure;
    }
}

// The host's printer (none for the system's default) is preselected in the
// print dialog; the margins are in 0.1 mm from the paper's edges.
extern "C" int __stdcall ListPrint(HWND listWin, char* fileToPrint, char* defaultPrinter, int, RECT* margins) {
    const std::wstring file = Utf8Name::WideFromAnsi(fileToPrint);
    const std::wstring printer = Utf8Name::WideFromAnsi(defaultPrinter);
    return Print(listWin, file.c_str(), printer.c_str(), margins);
}

extern "C" int __stdcall ListPrintW(HWND listWin, WCHAR* fileToPrint, WCHAR* defaultPrinter, int, RECT* margins) {
    return Print(listWin, fileToPrint, defaultPrinter, margins);
}

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
