// Showing an Image in a Win32 device context and putting it on the clipboard.
// An Image is already a device-independent bitmap, so its header block serves
// as the BITMAPINFO and its pixel block as the bits: nothing is converted.
#pragma once

#include <windows.h>

#include "image/image.h"

// Draws the picture unscaled with its pixel (scrollX, scrollY), counted from
// the top-left, at (x, y) of the device context. On a palette device (8 bits
// a pixel) the palette of `colors` is realized for it, when given: the frame
// that a reduced true-colour copy was made from. Otherwise the picture's own,
// or for a picture without one a halftone palette, which it is dithered to.
void ImageDraw(const Image* image, HDC dc, int x, int y, int scrollX, int scrollY, const Image* colors = nullptr);

// Draws the source rectangle of the picture (counted from its top-left) into
// the destination rectangle, repeating or dropping rows and columns without
// blending.
void ImageDrawStretched(const Image* image, HDC dc, const RECT* source, const RECT* destination);

// For tests: every device counts as a palette device, which a metafile
// records the drawing of.
void ImageDisplayInjectPalettes(bool on);

// Puts the picture on the clipboard as a packed DIB (CF_DIB). 1 on success.
int ImageCopyToClipboard(const Image* image, HWND owner);
