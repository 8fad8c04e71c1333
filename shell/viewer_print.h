// Printing the frame on screen: the system's print dialog, then one page
// with the frame as large as fits within the host's margins, centred, its
// proportions kept.
#pragma once

#include <windows.h>

#include "image/image.h"

// A device's page in its own pixels. The device context's origin is the
// top-left of the printable area, which lies `offset` into the paper.
struct PrintPage {
    int width = 0;   // the printable area (HORZRES, VERTRES)
    int height = 0;
    int dpiX = 0;    // LOGPIXELSX, LOGPIXELSY
    int dpiY = 0;
    int offsetX = 0;  // PHYSICALOFFSETX, PHYSICALOFFSETY
    int offsetY = 0;
    int paperWidth = 0;  // PHYSICALWIDTH, PHYSICALHEIGHT; 0 for devices without paper
    int paperHeight = 0;
};

PrintPage PrintPageOf(HDC dc);

// Where a picture of pictureWidth x pictureHeight goes on the page, in
// device pixels: the largest rectangle of the picture's proportions (as the
// paper shows them, also where the device's pixels are not square) within
// the margins, centred there. The margins are measured from the paper's
// edges in 0.1 mm, as the host gives them; none, or margins that leave no
// room, stand for the printable area.
RECT PrintPlacement(const PrintPage& page, const RECT* margins, int pictureWidth, int pictureHeight);

// Draws the frame onto the page of the device context (a printer's, or a
// metafile's) where PrintPlacement puts it; returns that rectangle.
RECT PrintDrawFrame(HDC dc, const Image* frame, const RECT* margins);

// What ViewerPrint came to.
constexpr int kPrintFailed = -1;    // told to the user in a message box
constexpr int kPrintCancelled = 0;  // nothing printed
constexpr int kPrinted = 1;

// Asks in the system's print dialog on which printer to print (the one named,
// when there is such a printer, else the system's default) and prints the
// frame on one page, as a job named `documentName`. The frame must stay
// valid during the call.
int ViewerPrint(HWND owner, const Image* frame, const wchar_t* printerName, const RECT* margins,
                const wchar_t* documentName = L"Movrel");
