// Frames decoded by the host, what the viewer's window shows, and what it should show.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "shell/viewer_overlay.h"
#include "tests/win32/host.h"

ChainPtr Load(const std::string& file) { return ChainPtr(ImageLoadFile(file.c_str(), nullptr)); }

Frames::Frames(const std::string& file) {
    LoadRequest request{};
    source_ = FrameSourceOpenFile(file.c_str(), &request);
}

Frames::~Frames() { FrameSourceClose(source_); }
int Frames::count() const { return source_ ? FrameSourceCount(source_) : 0; }
const Image* Frames::operator[](int n) { return source_ ? FrameSourceFrame(source_, n) : nullptr; }

std::string FramesDifference(const std::string& got, const std::string& want) {
    Frames a(got), b(want);
    if (a.count() != b.count()) return std::to_string(a.count()) + " frames, not " + std::to_string(b.count());
    for (int n = 0; n < b.count(); ++n) {
        ChainPtr copy(ImageDuplicate(b[n]));  // b's frame stays valid while a decodes
        if (std::string difference = PictureDifference(a[n], copy.get()); !difference.empty())
            return "frame " + std::to_string(n) + ": " + difference;
    }
    return "";
}

uint32_t PixelColor(const Image* image, int x, int y) {
    const uint32_t value = ImageGetPixel(image, x, y);
    if (ImageBitCount(image) <= 8) {
        const RgbQuad* entry = ImageColorTable(image, static_cast<int>(value));
        return (uint32_t{entry->rgbRed} << 16) | (uint32_t{entry->rgbGreen} << 8) | entry->rgbBlue;
    }
    return value & 0xFFFFFF;
}

std::string PictureDifference(const Image* got, const Image* want) {
    if (!got) return "no picture";
    if (ImageWidth(got) != ImageWidth(want) || ImageHeight(got) != ImageHeight(want))
        return "size " + std::to_string(ImageWidth(got)) + "x" + std::to_string(ImageHeight(got));
    for (int y = 0; y < ImageHeight(want); ++y)
        for (int x = 0; x < ImageWidth(want); ++x)
            if (PixelColor(got, x, y) != PixelColor(want, x, y))
                return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") differs";
    return "";
}

namespace {

// A 32-bit top-down DIB section of the given size, selected into a memory DC.
struct DibCanvas {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    uint32_t* bits = nullptr;
    DibCanvas(int width, int height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
        old = SelectObject(dc, bitmap);
    }
    ~DibCanvas() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        ReleaseDC(nullptr, screen);
    }
};

}  // namespace

Capture CaptureClient(HWND window) {
    UpdateWindow(window);
    Capture capture;
    RECT client;
    GetClientRect(window, &client);
    capture.width = client.right;
    capture.height = client.bottom;
    if (capture.width <= 0 || capture.height <= 0) return capture;
    DibCanvas canvas(capture.width, capture.height);
    HDC windowDc = GetDC(window);
    BitBlt(canvas.dc, 0, 0, capture.width, capture.height, windowDc, 0, 0, SRCCOPY);
    ReleaseDC(window, windowDc);
    GdiFlush();
    capture.pixels.assign(canvas.bits, canvas.bits + static_cast<size_t>(capture.width) * capture.height);
    return capture;
}

Capture PlayMetafile(HENHMETAFILE metafile, int width, int height) {
    DibCanvas canvas(width, height);
    std::fill_n(canvas.bits, static_cast<size_t>(width) * height, kWhite);
    const RECT page{0, 0, width, height};
    PlayEnhMetaFile(canvas.dc, metafile, &page);
    GdiFlush();
    Capture capture;
    capture.width = width;
    capture.height = height;
    capture.pixels.assign(canvas.bits, canvas.bits + static_cast<size_t>(width) * height);
    return capture;
}

int CountMismatches(const Capture& capture, RECT area, const std::function<uint32_t(int x, int y)>& expected,
                    std::string* first) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            const uint32_t want = expected(x, y) & 0xFFFFFF;
            const uint32_t got = capture.at(x, y);
            if (got == want) continue;
            if (count++ == 0 && first) {
                char text[96];
                wsprintfA(text, "(%d, %d) is %06X, expected %06X", x, y, got, want);
                *first = text;
            }
        }
    }
    return count;
}

int CountDifferences(const Capture& got, const Capture& want, std::string* first) {
    return CountMismatches(got, {0, 0, got.width, got.height}, [&](int x, int y) { return want.at(x, y); }, first);
}

bool Shows(HWND viewer, const Image* frame, int left, int top) {
    if (!frame) return false;
    const Capture shown = CaptureClient(viewer);
    const RECT area{std::max(left, 0), std::max(top, 0), std::min(left + ImageWidth(frame), shown.width),
                    std::min(top + ImageHeight(frame), shown.height)};
    return CountMismatches(shown, area, [&](int x, int y) { return PixelColor(frame, x - left, y - top); }) == 0;
}

bool WaitShows(HWND viewer, const Image* frame, int left, int top) {
    if (!PumpUntil([&] { return Shows(viewer, frame, left, top); })) return false;
    Pump(0);  // what the viewer posted before that paint, such as the position it told
    return true;
}

Capture RenderExpected(const Image* frame, int scrollX, int scrollY, int width, int height, const char* overlay) {
    Capture expected;
    expected.width = width;
    expected.height = height;
    expected.pixels.assign(static_cast<size_t>(width) * height, kWhite);
    for (int y = 0; y < height && y + scrollY < ImageHeight(frame); ++y)
        for (int x = 0; x < width && x + scrollX < ImageWidth(frame); ++x)
            expected.pixels[static_cast<size_t>(y) * width + x] = PixelColor(frame, x + scrollX, y + scrollY);
    return overlay ? WithOverlay(expected, overlay) : expected;
}

int HalfSizeError(const Image* frame, int width, int height, const std::function<uint32_t(int x, int y)>& shown) {
    int worst = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int shift : {0, 8, 16}) {
                int sum = 0;
                for (int k = 0; k < 4; ++k) sum += (PixelColor(frame, 2 * x + k % 2, 2 * y + k / 2) >> shift) & 0xFF;
                worst = std::max(worst, std::abs(static_cast<int>((shown(x, y) >> shift) & 0xFF) * 4 - sum));
            }
    return worst;
}

Capture WithOverlay(Capture picture, const char* overlay) {
    DibCanvas canvas(picture.width, picture.height);
    std::memcpy(canvas.bits, picture.pixels.data(), picture.pixels.size() * 4);
    // The viewer's window and this canvas are on one screen, of one DPI.
    const int dpi = GetDeviceCaps(canvas.dc, LOGPIXELSY);
    HFONT font = OverlayFontCreate(dpi);
    OverlayDraw(canvas.dc, font, dpi, overlay);
    DeleteObject(font);
    GdiFlush();
    std::memcpy(picture.pixels.data(), canvas.bits, picture.pixels.size() * 4);
    return picture;
}
