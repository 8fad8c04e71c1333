// The file manager's lister interface, as its plug-in SDK documents it:
// the constants, the structure it hands over, and the entry points' types.
// The plug-in, the standalone host (movrel-view) and the test host share it.
#pragma once

#include <windows.h>

// What ListSendCommand is asked (lc_*).
constexpr int kListCommandCopy = 1;           // copy what is shown
constexpr int kListCommandNewParameters = 2;  // new show flags in the parameter
constexpr int kListCommandSelectAll = 3;
constexpr int kListCommandSetPercent = 4;     // go to the position in the parameter, in percent

constexpr int kListSuccess = 0;  // LISTPLUGIN_OK
constexpr int kListFailure = 1;  // LISTPLUGIN_ERROR

// The show flags (lcp_*); the text ones are not an image viewer's business.
constexpr int kShowFitToWindow = 2;
constexpr int kShowFitLargerOnly = 32;  // with kShowFitToWindow: shrink only
constexpr int kShowCenter = 64;
constexpr int kShowDarkMode = 128;

// What the plug-in tells the host: WM_COMMAND to the parent with
// MAKELONG(value, item) and the plug-in's window (itm_*).
constexpr WORD kHostItemPercent = 0xFFFE;  // the position, 0 to 100
constexpr WORD kHostItemFit = 0xFFFB;
constexpr WORD kHostItemCenter = 0xFFF9;

// What the host hands over right after loading the library.
struct ListDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[MAX_PATH];
};

using ListLoadFunction = HWND(__stdcall*)(HWND parent, char* fileToLoad, int showFlags);
using ListLoadWFunction = HWND(__stdcall*)(HWND parent, WCHAR* fileToLoad, int showFlags);
using ListLoadNextFunction = int(__stdcall*)(HWND parent, HWND listWin, char* fileToLoad, int showFlags);
using ListLoadNextWFunction = int(__stdcall*)(HWND parent, HWND listWin, WCHAR* fileToLoad, int showFlags);
using ListSendCommandFunction = int(__stdcall*)(HWND listWin, int command, int parameter);
using ListSetDefaultParamsFunction = void(__stdcall*)(ListDefaultParamStruct* params);
using ListGetDetectStringFunction = void(__stdcall*)(char* detectString, int maxLength);
using ListGetPreviewBitmapFunction = HBITMAP(__stdcall*)(char* fileToLoad, int width, int height, char* contentBuf,
                                                         int contentLength);
using ListGetPreviewBitmapWFunction = HBITMAP(__stdcall*)(WCHAR* fileToLoad, int width, int height, char* contentBuf,
                                                          int contentLength);
