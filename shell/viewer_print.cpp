#include "shell/viewer_print.h"

#include <commdlg.h>
#include <winspool.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>

#include "shell/display_win32.h"

namespace {

constexpr wchar_t kNoPrinterText[] = L"There is no printer to print on.";
constexpr wchar_t kPrintFailedText[] = L"The frame could not be printed.";

// 0.1 mm in device pixels at `dpi` (254 tenths of a millimetre to the inch),
// rounded; negative margins count as none.
int64_t MarginPixels(LONG tenths, int dpi) { return (int64_t{std::max<LONG>(tenths, 0)} * dpi + 127) / 254; }

// Whole-number division rounded to the nearest; both positive.
int64_t DivideRounded(int64_t a, int64_t b) { return (a + b / 2) / b; }

// Whether any printer is installed or connected. Level 4 reads only names,
// without asking any printer's driver.
bool AnyPrinter() {
    DWORD needed = 0;
    DWORD count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, nullptr, 0, &needed, &count);
    return needed > 0;
}

// A DEVNAMES block that preselects the named printer in the print dialog
// (which fills in the driver and the port itself); none for no name.
HGLOBAL DevNamesFor(const wchar_t* printer) {
    if (!printer || !*printer) return nullptr;
    const size_t length = std::wcslen(printer);
    constexpr size_t kHeader = sizeof(DEVNAMES) / sizeof(wchar_t);
    // The offsets are WORDs counting characters: driver "", the name, port "".
    const size_t characters = kHeader + 1 + length + 1 + 1;
    if (characters > 0xFFFF) return nullptr;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, characters * sizeof(wchar_t));
    auto* names = block ? static_cast<DEVNAMES*>(GlobalLock(block)) : nullptr;
    if (!names) {
        if (block) GlobalFree(block);
        return nullptr;
    }
    names->wDriverOffset = static_cast<WORD>(kHeader);
    names->wDeviceOffset = static_cast<WORD>(kHeader + 1);
    names->wOutputOffset = static_cast<WORD>(kHeader + 1 + length + 1);
    std::wmemcpy(reinterpret_cast<wchar_t*>(names) + names->wDeviceOffset, printer, length);
    GlobalUnlock(block);
    return block;
}

// The print dialog's answer: the device context of the printer the user
// chose, or why there is none.
struct PrinterChoice {
    HDC dc = nullptr;
    DWORD copies = 1;   // pages to print when the driver does not make the copies itself
    DWORD error = 0;    // the dialog's own failure (0 when the user cancelled)
};

PrinterChoice ChoosePrinter(HWND owner, const wchar_t* printerName) {
    // Without printers some versions of the dialog put up a box of their own
    // and then return as if cancelled; ours says what is wrong.
    if (!AnyPrinter()) return {nullptr, 1, PDERR_NODEVICES};
    PRINTDLGW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.hDevNames = DevNamesFor(printerName);
    // One picture, one page: no page ranges and no selection to offer. The
    // dialog's own warning about missing printers would come on top of ours.
    dialog.Flags = PD_RETURNDC | PD_NOPAGENUMS | PD_NOSELECTION | PD_USEDEVMODECOPIESANDCOLLATE | PD_NOWARNING;
    dialog.nCopies = 1;
    BOOL chosen = PrintDlgW(&dialog);
    DWORD error = chosen ? 0 : CommDlgExtendedError();
    if (!chosen && error == PDERR_PRINTERNOTFOUND) {
        // The host's printer has gone since it was chosen there: the system's default instead.
        if (dialog.hDevNames) GlobalFree(dialog.hDevNames);
        dialog.hDevNames = nullptr;
        chosen = PrintDlgW(&dialog);
        error = chosen ? 0 : CommDlgExtendedError();
    }
    if (dialog.hDevMode) GlobalFree(dialog.hDevMode);
    if (dialog.hDevNames) GlobalFree(dialog.hDevNames);
    PrinterChoice choice;
    choice.error = error;
    if (!chosen) return choice;
    choice.dc = dialog.hDC;
    choice.copies = std::clamp<DWORD>(dialog.nCopies, 1, 999);
    if (!choice.dc) choice.error = PDERR_CREATEICFAILURE;
    return choice;
}

// The job, page by page; false at the first step the printer refuses.
bool PrintPages(HDC dc, const Image* frame, const RECT* margins, DWORD copies, const wchar_t* documentName, bool* cancelled) {
    DOCINFOW document{};
    document.cbSize = sizeof document;
    document.lpszDocName = documentName;
    if (StartDocW(dc, &document) <= 0) {
        // Printing to a file asks for its name; Cancel there is the user's.
        *cancelled = GetLastError() == ERROR_CANCELLED;
        return false;
    }
    for (DWORD copy = 0; copy < copies; ++copy) {
        if (StartPage(dc) <= 0) {
            AbortDoc(dc);
            return false;
        }
        PrintDrawFrame(dc, frame, margins);
        if (EndPage(dc) <= 0) {
            AbortDoc(dc);
            return false;
        }
    }
    return EndDoc(dc) > 0;
}

}  // namespace

PrintPage PrintPageOf(HDC dc) {
    PrintPage page;
    page.width = GetDeviceCaps(dc, HORZRES);
    page.height = GetDeviceCaps(dc, VERTRES);
    page.dpiX = GetDeviceCaps(dc, LOGPIXELSX);
    page.dpiY = GetDeviceCaps(dc, LOGPIXELSY);
    page.offsetX = GetDeviceCaps(dc, PHYSICALOFFSETX);
    page.offsetY = GetDeviceCaps(dc, PHYSICALOFFSETY);
    page.paperWidth = GetDeviceCaps(dc, PHYSICALWIDTH);
    page.paperHeight = GetDeviceCaps(dc, PHYSICALHEIGHT);
    return page;
}

RECT PrintPlacement(const PrintPage& page, const RECT* margins, int pictureWidth, int pictureHeight) {
    const RECT printable{0, 0, std::max(page.width, 1), std::max(page.height, 1)};
    RECT box = printable;
    // A device without paper (a display, a metafile on one) is all printable area.
    const bool paper = page.paperWidth > 0 && page.paperHeight > 0;
    if (margins && page.dpiX > 0 && page.dpiY > 0) {
        const int64_t paperWidth = paper ? page.paperWidth : printable.right;
        const int64_t paperHeight = paper ? page.paperHeight : printable.bottom;
        const int64_t offsetX = paper ? page.offsetX : 0;
        const int64_t offsetY = paper ? page.offsetY : 0;
        // Within the margins, where the printer can print.
        const int64_t left = std::max<int64_t>(MarginPixels(margins->left, page.dpiX) - offsetX, 0);
        const int64_t top = std::max<int64_t>(MarginPixels(margins->top, page.dpiY) - offsetY, 0);
        const int64_t right = std::min<int64_t>(paperWidth - MarginPixels(margins->right, page.dpiX) - offsetX, printable.right);
        const int64_t bottom = std::min<int64_t>(paperHeight - MarginPixels(margins->bottom, page.dpiY) - offsetY, printable.bottom);
        if (left < right && top < bottom)
            box = {static_cast<LONG>(left), static_cast<LONG>(top), static_cast<LONG>(right), static_cast<LONG>(bottom)};
    }
    const int64_t boxWidth = box.right - box.left;
    const int64_t boxHeight = box.bottom - box.top;
    // The picture's size as the paper shows it, in units of 1/(dpiX * dpiY)
    // inch: where the device's pixels are not square, a square picture is
    // more of them across than down.
    const int64_t dpiX = std::max(page.dpiX, 1);
    const int64_t dpiY = std::max(page.dpiY, 1);
    const int64_t wide = int64_t{std::max(pictureWidth, 1)} * dpiX;
    const int64_t high = int64_t{std::max(pictureHeight, 1)} * dpiY;
    int64_t width = boxWidth;
    int64_t height = boxHeight;
    if (boxWidth * high <= boxHeight * wide) height = std::clamp<int64_t>(DivideRounded(boxWidth * high, wide), 1, boxHeight);
    else width = std::clamp<int64_t>(DivideRounded(boxHeight * wide, high), 1, boxWidth);
    const LONG left = box.left + static_cast<LONG>((boxWidth - width) / 2);
    const LONG top = box.top + static_cast<LONG>((boxHeight - height) / 2);
    return {left, top, left + static_cast<LONG>(width), top + static_cast<LONG>(height)};
}

RECT PrintDrawFrame(HDC dc, const Image* frame, const RECT* margins) {
    const RECT destination = PrintPlacement(PrintPageOf(dc), margins, ImageWidth(frame), ImageHeight(frame));
    const RECT source{0, 0, ImageWidth(frame), ImageHeight(frame)};
    // The frame goes over as the DIB it is, colour table and all, which the
    // printer's driver maps to its colours (on a device with palettes the
    // drawing realizes the frame's palette). A colour count of 0 means a
    // full table, but some metafile recorders (the spooler's, wine's) take it
    // literally and record a picture without colours: the count is spelled
    // out in a copy of the header, the pixels shared.
    BitmapInfo header = *ImageHeader(frame);
    if (header.bmiHeader.biBitCount <= 8 && header.bmiHeader.biClrUsed == 0)
        header.bmiHeader.biClrUsed = 1u << header.bmiHeader.biBitCount;
    Image view = *frame;
    view.header = &header;
    ImageDrawStretched(&view, dc, &source, &destination);
    return destination;
}

int ViewerPrint(HWND owner, const Image* frame, const wchar_t* printerName, const RECT* margins,
                const wchar_t* documentName) {
    if (!frame) return kPrintFailed;
    const PrinterChoice choice = ChoosePrinter(owner, printerName);
    if (!choice.dc) {
        if (!choice.error) return kPrintCancelled;
        const bool none = choice.error == PDERR_NODEFAULTPRN || choice.error == PDERR_NODEVICES;
        MessageBoxW(owner, none ? kNoPrinterText : kPrintFailedText, nullptr, MB_ICONERROR);
        return kPrintFailed;
    }
    bool cancelled = false;
    const bool printed = PrintPages(choice.dc, frame, margins, choice.copies, documentName, &cancelled);
    DeleteDC(choice.dc);
    if (printed) return kPrinted;
    if (cancelled) return kPrintCancelled;
    MessageBoxW(owner, kPrintFailedText, nullptr, MB_ICONERROR);
    return kPrintFailed;
}
