#include "shell/display_win32.h"

#include <cstring>

namespace {

bool gEveryDeviceHasPalettes = false;

const BITMAPINFO* AsBitmapInfo(const Image* image) {
    static_assert(sizeof(BitmapInfoHeader) == sizeof(BITMAPINFOHEADER) && sizeof(RgbQuad) == sizeof(RGBQUAD));
    return reinterpret_cast<const BITMAPINFO*>(ImageHeader(image));
}

// The logical palette for a picture in the colours of `colors`: its palette,
// or a halftone palette when it has none.
HPALETTE CreateDrawingPalette(const Image* colors, HDC dc) {
    PaletteEntry entries[256];
    if (!ImageGetPalette(colors, entries)) return CreateHalftonePalette(dc);
    const int count = 1 << ImageBitCount(colors);
    // LOGPALETTE holds one entry; room for the rest follows it.
    alignas(LOGPALETTE) uint8_t block[sizeof(LOGPALETTE) + 255 * sizeof(PALETTEENTRY)];
    auto* logical = reinterpret_cast<LOGPALETTE*>(block);
    logical->palVersion = 0x300;
    logical->palNumEntries = static_cast<WORD>(count);
    std::memcpy(logical->palPalEntry, entries, static_cast<size_t>(count) * sizeof(PALETTEENTRY));
    return CreatePalette(logical);
}

// On a palette device colours only show once a logical palette of them is
// realized, else the system's 20 stand in: one is made for the drawing and
// deleted after it. True-colour devices need none.
class DrawingPalette {
public:
    DrawingPalette(const Image* colors, HDC dc) : dc_(dc) {
        if (!gEveryDeviceHasPalettes && !(GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE)) return;
        PaletteEntry entries[256];
        halftone_ = !ImageGetPalette(colors, entries);
        palette_ = CreateDrawingPalette(colors, dc);
        if (!palette_) return;
        old_ = SelectPalette(dc, palette_, FALSE);
        RealizePalette(dc);
    }
    ~DrawingPalette() {
        if (!palette_) return;
        SelectPalette(dc_, old_, FALSE);
        DeleteObject(palette_);
    }
    DrawingPalette(const DrawingPalette&) = delete;
    DrawingPalette& operator=(const DrawingPalette&) = delete;

    // A halftone palette is realized: deeper pictures are dithered to it.
    bool halftone() const { return palette_ && halftone_; }

private:
    HDC dc_;
    HPALETTE palette_ = nullptr;
    HPALETTE old_ = nullptr;
    bool halftone_ = false;
};

}  // namespace

void ImageDisplayInjectPalettes(bool on) { gEveryDeviceHasPalettes = on; }

void ImageDraw(const Image* image, HDC dc, int x, int y, int scrollX, int scrollY, const Image* colors) {
    DrawingPalette palette(colors ? colors : image, dc);
    const int width = ImageWidth(image);
    const int height = ImageHeight(image);
    if (palette.halftone() && ImageBitCount(image) > 8) {
        // One to one, but dithered to the halftone palette rather than each
        // pixel taking its nearest colour.
        const int oldMode = SetStretchBltMode(dc, HALFTONE);
        POINT oldOrigin;
        SetBrushOrgEx(dc, 0, 0, &oldOrigin);  // as HALFTONE asks
        const RECT source{scrollX, scrollY, width, height};
        const RECT destination{x, y, x + width - scrollX, y + height - scrollY};
        StretchDIBits(dc, destination.left, destination.top, destination.right - destination.left,
                      destination.bottom - destination.top, source.left, height - source.bottom,
                      source.right - source.left, source.bottom - source.top, ImageBits(image), AsBitmapInfo(image),
                      DIB_RGB_COLORS, SRCCOPY);
        SetBrushOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
        SetStretchBltMode(dc, oldMode);
        return;
    }
    // The rows are bottom-up and the source y counts from the bottom edge, so
    // a negated scroll puts picture row scrollY at the top of the destination.
    SetDIBitsToDevice(dc, x, y, static_cast<DWORD>(width), static_cast<DWORD>(height), scrollX, -scrollY, 0,
                      static_cast<UINT>(height), ImageBits(image), AsBitmapInfo(image), DIB_RGB_COLORS);
}

void ImageDrawStretched(const Image* image, HDC dc, const RECT* source, const RECT* destination) {
    DrawingPalette palette(image, dc);
    SetStretchBltMode(dc, COLORONCOLOR);
    // The rows are bottom-up: the source's y counts from the bottom edge.
    StretchDIBits(dc, destination->left, destination->top, destination->right - destination->left,
                  destination->bottom - destination->top, source->left, ImageHeight(image) - source->bottom,
                  source->right - source->left, source->bottom - source->top, ImageBits(image), AsBitmapInfo(image),
                  DIB_RGB_COLORS, SRCCOPY);
}

int ImageCopyToClipboard(const Image* image, HWND owner) {
    const size_t headerSize = static_cast<size_t>(ImageHeaderSize(image));
    const size_t bitsSize = static_cast<size_t>(ImageBitsSize(image));
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, headerSize + bitsSize);
    if (!memory) return 0;
    auto* bytes = static_cast<uint8_t*>(GlobalLock(memory));
    if (!bytes) {
        GlobalFree(memory);
        return 0;
    }
    std::memcpy(bytes, ImageHeader(image), headerSize);
    std::memcpy(bytes + headerSize, ImageBits(image), bitsSize);
    GlobalUnlock(memory);

    if (!OpenClipboard(owner)) {
        GlobalFree(memory);
        return 0;
    }
    EmptyClipboard();
    // The clipboard owns the block only when it accepted it; a refused block
    // is still ours, and the copy did not happen.
    const bool placed = SetClipboardData(CF_DIB, memory) != nullptr;
    CloseClipboard();
    if (!placed) {
        GlobalFree(memory);
        return 0;
    }
    return 1;
}
