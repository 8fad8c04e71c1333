#include "image/display_win32.h"

#include <cstring>

namespace {

const BITMAPINFO* AsBitmapInfo(const Image* image) {
    static_assert(sizeof(BitmapInfoHeader) == sizeof(BITMAPINFOHEADER) && sizeof(RgbQuad) == sizeof(RGBQUAD));
    return reinterpret_cast<const BITMAPINFO*>(ImageHeader(image));
}

// On a palette device the frame's colours only show once a logical palette
// of them is realized: one is made from the colour table for the drawing and
// deleted after it. True-colour devices and images need none.
class DrawingPalette {
public:
    DrawingPalette(const Image* image, HDC dc) : dc_(dc) {
        PaletteEntry entries[256];
        if (!(GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) || !ImageGetPalette(image, entries)) return;
        const int count = 1 << ImageBitCount(image);
        // LOGPALETTE holds one entry; room for the rest follows it.
        alignas(LOGPALETTE) uint8_t block[sizeof(LOGPALETTE) + 255 * sizeof(PALETTEENTRY)];
        auto* logical = reinterpret_cast<LOGPALETTE*>(block);
        logical->palVersion = 0x300;
        logical->palNumEntries = static_cast<WORD>(count);
        std::memcpy(logical->palPalEntry, entries, static_cast<size_t>(count) * sizeof(PALETTEENTRY));
        palette_ = CreatePalette(logical);
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

private:
    HDC dc_;
    HPALETTE palette_ = nullptr;
    HPALETTE old_ = nullptr;
};

}  // namespace

void ImageDraw(const Image* image, HDC dc, int x, int y, int scrollX, int scrollY) {
    DrawingPalette palette(image, dc);
    // The rows are bottom-up and the source y counts from the bottom edge, so
    // a negated scroll puts picture row scrollY at the top of the destination.
    const int width = ImageWidth(image);
    const int height = ImageHeight(image);
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
