// The viewer's overlay: a line of white text on a black box at the
// window's top-left corner, readable on any picture, in a font and with
// margins sized for the window's DPI.
#pragma once

#include <windows.h>

// The font for `dpi` (96 is 100%): 9 points of the system's sans serif.
inline HFONT OverlayFontCreate(int dpi) {
    return CreateFontW(-MulDiv(9, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
}

// Draws a line of `text` (ASCII) with its box's top at `top`, or at the
// overlay's first line for -1, and returns the box it covers. A line that
// follows another goes at the returned box's bottom.
inline RECT OverlayDraw(HDC dc, HFONT font, int dpi, const char* text, LONG top = -1) {
    const int margin = MulDiv(6, dpi, 96);
    const int padding = MulDiv(3, dpi, 96);
    if (top < 0) top = margin;
    HGDIOBJ old = SelectObject(dc, font);
    const int length = lstrlenA(text);
    SIZE size{};
    GetTextExtentPoint32A(dc, text, length, &size);
    const RECT box{margin, top, margin + size.cx + 2 * padding, top + size.cy + 2 * padding};
    FillRect(dc, &box, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutA(dc, margin + padding, top + padding, text, length);
    SelectObject(dc, old);
    return box;
}
