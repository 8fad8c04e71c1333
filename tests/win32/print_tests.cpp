// Printing: where the frame goes on the page, what is drawn there (into a
// metafile, as a printer's spooler records it), and ListPrintW through the
// print dialog onto printers of wine's PostScript driver that print to files.
#include <windows.h>
#include <winspool.h>

#include <cctype>
#include <cstdio>

#include "resources/resource.h"
#include "shell/viewer_print.h"
#include "tests/win32/host.h"

using print = HostTest;

namespace {

std::string RectText(const RECT& r) {
    char text[64];
    std::snprintf(text, sizeof text, "{%ld, %ld, %ld, %ld}", r.left, r.top, r.right, r.bottom);
    return text;
}

constexpr const wchar_t* kPrinters[2] = {L"Movrel Test A", L"Movrel Test B"};

void RemovePrinters() {
    for (const wchar_t* name : kPrinters) {
        PRINTER_DEFAULTSW access{nullptr, nullptr, PRINTER_ALL_ACCESS};
        HANDLE printer = nullptr;
        if (!OpenPrinterW(const_cast<wchar_t*>(name), &printer, &access)) continue;
        DeletePrinter(printer);
        ClosePrinter(printer);
    }
}

// The two printers on wine's PostScript driver, A the default, each with a
// Unix file name for its port, which the spooler writes the job to. False
// when they cannot be set up.
bool AddPrinters(const std::string (&files)[2]) {
    RemovePrinters();
    // The driver's printer description: the generic one in wine's spooler.
    HMODULE spooler = GetModuleHandleA("winspool.drv");
    HRSRC description = FindResourceW(spooler, MAKEINTRESOURCEW(1), L"PPDFILE");
    auto* unixName = reinterpret_cast<char*(__cdecl*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t driverDir[MAX_PATH];
    DWORD needed = 0;
    if (!description || !unixName ||
        !GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(driverDir), sizeof driverDir, &needed))
        return false;
    std::wstring ppd = std::wstring(driverDir) + L"\\movrel-test.ppd";
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(spooler, description)));
    WriteBytes(Utf8(ppd.c_str()), std::vector<uint8_t>(bytes, bytes + SizeofResource(spooler, description)));
    DRIVER_INFO_3W driver{};
    driver.cVersion = 3;
    driver.pName = const_cast<wchar_t*>(L"Movrel Test PostScript");
    driver.pDriverPath = driver.pConfigFile = const_cast<wchar_t*>(L"wineps.drv");
    driver.pDataFile = ppd.data();
    if (!AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&driver))) return false;
    for (int i = 0; i < 2; ++i) {
        char* file = unixName(Wide(files[i]).c_str());
        std::wstring port = file ? Wide(file) : L"";
        HeapFree(GetProcessHeap(), 0, file);
        PRINTER_INFO_2W info{};
        info.pPrinterName = const_cast<wchar_t*>(kPrinters[i]);
        info.pPortName = port.data();
        info.pDriverName = driver.pName;
        info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
        info.pDatatype = const_cast<wchar_t*>(L"RAW");
        HANDLE printer = port.empty() ? nullptr : AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
        if (!printer) return false;
        ClosePrinter(printer);
    }
    return SetDefaultPrinterW(kPrinters[0]) != FALSE;
}

std::string ReadText(const std::string& file) {
    const std::vector<uint8_t> bytes = ReadBytes(file);
    return std::string(bytes.begin(), bytes.end());
}

// The print dialog: the printer it shows is read, then `button` pressed.
ExpectedWindow PrintDialog(std::string* printer, int button) {
    return {"#32770", [=](HWND dialog) {
                *printer = DialogItemText(dialog, 0x473);  // cmb4, the printer list
                if (printer->empty()) return false;
                PostMessageA(dialog, WM_COMMAND, button, 0);
                return true;
            }};
}

// The PostScript driver's text between `from` and `to`, white space left out.
std::string Between(const std::string& text, const std::string& from, const std::string& to) {
    const size_t start = text.find(from);
    const size_t end = start == std::string::npos ? start : text.find(to, start + from.size());
    std::string inside;
    if (end == std::string::npos) return inside;
    for (size_t i = start + from.size(); i < end; ++i)
        if (!std::isspace(static_cast<unsigned char>(text[i]))) inside += text[i];
    return inside;
}

}  // namespace

TEST_F(print, placement_within_the_margins) {
    // A4 at 300 dpi, the printable area 75 pixels (6.35 mm) in from every edge.
    const PrintPage a4{2329, 3358, 300, 300, 75, 75, 2479, 3508};
    const RECT margins{200, 100, 200, 150};  // 20, 10, 20 and 15 mm: 236, 118, 236 and 177 pixels
    // As wide as the margins allow, centred down; as high as they allow, centred across.
    EXPECT_EQ(RectText(PrintPlacement(a4, &margins, 320, 200)), "{161, 1022, 2168, 2276}");
    EXPECT_EQ(RectText(PrintPlacement(a4, &margins, 100, 400)), "{763, 43, 1566, 3256}");
    // Margins within the edge the printer cannot print on, margins that leave
    // no room, and none: the printable area.
    const RECT none{0, 0, 0, 0}, tooWide{1200, 0, 1200, 0};
    for (const RECT* m : {&none, &tooWide, static_cast<const RECT*>(nullptr)})
        EXPECT_EQ(RectText(PrintPlacement(a4, m, 320, 200)), "{0, 951, 2329, 2407}");
    // Pixels twice as wide as high: a picture twice as wide as high is as
    // many pixels down as it is across on the paper, a quarter of them.
    const PrintPage oblong{1200, 600, 600, 300};
    EXPECT_EQ(RectText(PrintPlacement(oblong, nullptr, 2, 1)), "{0, 150, 1200, 450}");
}

TEST_F(print, the_frame_is_drawn_at_its_place_in_its_colours) {
    ChainPtr decoded = Load(gFiles.sample);
    const Image* frame = decoded.get();  // 320 x 200, 8 bits with a palette
    HDC screen = GetDC(nullptr);
    const PrintPage page = PrintPageOf(screen);
    ASSERT_EQ(RectText({0, 0, page.width, page.height}) + " at " + std::to_string(page.dpiX), "{0, 0, 1024, 768} at 96");
    // The metafile's frame is the whole reference device, so that played at
    // that size every pixel comes back where it was drawn.
    const RECT frameSize{0, 0, GetDeviceCaps(screen, HORZSIZE) * 100, GetDeviceCaps(screen, VERTSIZE) * 100};
    HDC dc = CreateEnhMetaFileW(screen, nullptr, &frameSize, nullptr);
    ReleaseDC(nullptr, screen);
    // A device without paper: the margins count from the edges, 1 inch on
    // the left, 3 on the right, half an inch above and below. Twice the
    // frame's size fits, centred down.
    const RECT margins{254, 127, 762, 127};
    const RECT placed = PrintDrawFrame(dc, frame, &margins);
    HENHMETAFILE metafile = CloseEnhMetaFile(dc);
    EXPECT_EQ(RectText(placed), "{96, 184, 736, 584}");
    const Capture paper = PlayMetafile(metafile, page.width, page.height);
    DeleteEnhMetaFile(metafile);
    std::string first;
    EXPECT_EQ(CountMismatches(paper, {0, 0, page.width, page.height},
                              [&](int x, int y) {
                                  const bool inside = x >= 96 && x < 736 && y >= 184 && y < 584;
                                  return inside ? PixelColor(frame, (x - 96) / 2, (y - 184) / 2) : kWhite;
                              },
                              &first),
              0)
        << first;
}

TEST_F(print, list_print_prints_on_the_printer_chosen_in_the_dialog) {
    using ListPrintW = int(__stdcall*)(HWND, WCHAR*, WCHAR*, int, RECT*);
    auto listPrint = reinterpret_cast<ListPrintW>(reinterpret_cast<void*>(GetProcAddress(gPlugin.module, "ListPrintW")));
    ASSERT_TRUE(listPrint);
    Lister lister(gFiles.sample, 0);
    PauseAt(lister.viewer(), 0);
    ASSERT_TRUE(PumpUntil([&] { return lister.percent() == 0; }));
    Frames frames(gFiles.sample);
    const Image* frame = frames[0];
    RECT margins{200, 100, 200, 150};
    wchar_t file[] = L"C:\\films\\sample.flc";
    wchar_t hostsPrinter[] = L"Movrel Test B";
    wchar_t gone[] = L"Movrel Test Gone";
    auto printWith = [&](wchar_t* printer, int button, std::string* shown) {
        ExpectWindows({PrintDialog(shown, button)});
        const int result = listPrint(lister.viewer(), file, printer, 0, &margins);
        EXPECT_TRUE(ExpectationMet());
        return result;
    };

    // Without a printer: an error box, and a failure for the host.
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, nullptr, 0, &needed, &count);
    if (needed == 0) {
        BoxSeen box;
        ExpectWindows({AnswerBox(&box)});
        EXPECT_EQ(listPrint(lister.viewer(), file, hostsPrinter, 0, &margins), 1);
        EXPECT_TRUE(ExpectationMet());
        EXPECT_EQ(box.text, "There is no printer to print on.");
    } else {
        Note("this prefix has printers: printing without one is not tried");
    }

    OutputDir dir("print");
    const std::string files[2] = {dir.file("a.ps"), dir.file("b.ps")};
    struct Removal {
        ~Removal() { RemovePrinters(); }
    } removal;
    ASSERT_TRUE(AddPrinters(files)) << "wine's PostScript driver could not be set up";
    std::string shown;
    // Cancel prints nothing and is no failure.
    EXPECT_EQ(printWith(hostsPrinter, IDCANCEL, &shown), 0);
    EXPECT_EQ(shown, "Movrel Test B");
    EXPECT_EQ(ReadText(files[0]) + ReadText(files[1]), "");

    // The host's printer, preselected, prints one page: the frame in its
    // palette's colours, where the margins leave room for it on that page.
    EXPECT_EQ(printWith(hostsPrinter, IDOK, &shown), 0);
    EXPECT_EQ(shown, "Movrel Test B");
    EXPECT_EQ(ReadText(files[0]), "");
    const std::string page = ReadText(files[1]);
    EXPECT_NE(page.find("%%Title: sample.flc\n"), std::string::npos);
    EXPECT_NE(page.find("%%Pages: 1\n"), std::string::npos);
    HDC printer = CreateICW(L"WINSPOOL", kPrinters[1], nullptr, nullptr);
    const RECT placed = PrintPlacement(PrintPageOf(printer), &margins, 320, 200);
    DeleteDC(printer);
    EXPECT_EQ(Between(page, "] setcolorspace", "<<"),
              std::to_string(placed.left) + std::to_string(placed.top) + "translate" + std::to_string(placed.right - placed.left) +
                  std::to_string(placed.bottom - placed.top) + "scale");
    std::string palette;
    for (int i = 0; i < 256; ++i) {
        const RgbQuad* color = ImageColorTable(frame, i);
        char entry[8];
        std::snprintf(entry, sizeof entry, "%02x%02x%02x", color->rgbRed, color->rgbGreen, color->rgbBlue);
        palette += entry;
    }
    EXPECT_EQ(Between(page, "[/Indexed /DeviceRGB 255", "]"), "<" + palette + ">");
    EXPECT_EQ(Between(page, "/Width", "/BitsPerComponent"), "320/Height200");

    // A printer the host names that is gone: the default one.
    EXPECT_EQ(printWith(gone, IDOK, &shown), 0);
    EXPECT_EQ(shown, "Movrel Test A");
    EXPECT_NE(ReadText(files[0]).find("%%Pages: 1\n"), std::string::npos);
}
