// Showing an Image in a Win32 device context and putting it on the clipboard.
// An Image is already a device-independent bitmap, so its header block serves
// as the BITMAPINFO and its pixel block as the bits: nothing is converted.
#pragma once

#include <windows.h>

#include "image/image.h"

// Draws the picture unscaled with its pixel (scrollX, scrollY), counted from
// the top-left, at (x, y) of the device context.
void ImageDraw(const Image* image, HDC dc, int x, int y, int scrollX, int scrollY);

// Draws the source rectangle of the picture (counted from its top-left) into
// the destination rectangle, repeating or dropping rows and columns without
// blending.
void ImageDrawStretched(const Image* image, HDC dc, const RECT* source, const RECT* destination);

// Puts the picture on the clipboard as a packed DIB (CF_DIB). 1 on success.
int ImageCopyToClipboard(const Image* image, HWND owner);
