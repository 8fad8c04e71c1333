// The user's commands behind the viewer's menu and keys.
#include <windows.h>

#include <charconv>
#include <cstdint>

#include "formats/format.h"
#include "resources/resource.h"
#include "shell/viewer.h"

namespace {

constexpr char kAboutText[] =
    "Autodesk FLIC animation (FLI/FLC) lister plug-in for Total Commander\n"
    "Version " MOVREL_VERSION_TEXT " (" __DATE__ ")\n"
    "\n"
    "Copyright (C) The Movrel developers. Provided as is, without warranty of any kind.";

// "FLI" or "FLC", from the magic number in the header copy the FLIC loader
// keeps with the first frame.
const char* FlicKind(const uint8_t* header) {
    const unsigned magic = header[4] | (unsigned{header[5]} << 8);
    return magic == 0xAF11 ? "FLI" : "FLC";
}

}  // namespace

// Saving frames and exporting the animation come with the save driver and
// the writers; until then these commands do nothing.
int ViewerExtractFrame(HWND) { return 0; }
int ViewerExtractAllFrames(HWND) { return 0; }
int ViewerExportGif(HWND) { return 0; }
int ViewerExportAvi(HWND) { return 0; }
int ViewerExportSpr(HWND) { return 0; }

int ViewerShowInformation(HWND window) {
    const ViewerState* state = ViewerGetState(window);
    if (!state) return 0;
    const Image* image = state->first;
    const FileFormat* format = ImageFormat(image);
    char type[128];
    const char* description = format && format->description ? format->description : "Unknown";
    if (image->extra && format && format->id == kFormatFlic)
        wsprintfA(type, "%s (%s)", description, FlicKind(image->extra));
    else
        lstrcpynA(type, description, sizeof type);

    // 2 to the power of the depth; 32 bits per pixel give a count that does
    // not fit a 32-bit integer, so the number is written in 64 bits.
    char colors[24];
    const uint64_t count = uint64_t{1} << ImageBitCount(image);
    *std::to_chars(colors, colors + sizeof colors - 1, count).ptr = '\0';

    char message[512];
    wsprintfA(message, "Type: %s\n\nWidth: %d\nHeight: %d\nColor Depth: %s colors\n\nTotal frame number: %d frame(s)", type,
              ImageWidth(image), ImageHeight(image), colors, ImageCount(image));
    MessageBoxA(window, message, "Information", MB_ICONINFORMATION);
    return 1;
}

int ViewerShowAbout(HWND window) {
    MessageBoxA(window, kAboutText, "About", MB_ICONINFORMATION);
    return 1;
}
