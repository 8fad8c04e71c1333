// The registration order is the probing order and the order of the entries
// in every save dialog: FLIC, BMP, GIF, PCX, TGA, AVI, SPR.
#include "codecs/flic.h"
#include "codecs/gif_reader.h"
#include "formats/format.h"

void FormatRegisterAll() {
    FormatRegister(kFlicFormat);
    // BMP comes here.
    FormatRegister(kGifFormat);
}
