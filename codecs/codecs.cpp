// The registration order is the probing order and the order of the entries
// in every save dialog: FLIC, BMP, GIF, PCX, TGA, AVI, SPR, PNG, APNG.
#include "codecs/codecs.h"

#include "codecs/avi.h"
#include "codecs/bmp.h"
#include "codecs/flic.h"
#include "codecs/gif.h"
#include "codecs/apng.h"
#include "codecs/pcx.h"
#include "codecs/png.h"
#include "codecs/spr.h"
#include "codecs/tga.h"
#include "formats/format.h"

void FormatRegisterAll() {
    FormatRegister(kFlicFormat);
    FormatRegister(kBmpFormat);
    FormatRegister(kGifFormat);
    FormatRegister(kPcxFormat);
    FormatRegister(kTgaFormat);
    FormatRegister(kAviFormat);
    FormatRegister(kSprFormat);
    FormatRegister(kPngFormat);
    FormatRegister(kApngFormat);
}
