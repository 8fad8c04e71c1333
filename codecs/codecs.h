// The registration of every codec: the registry (formats/format.h) knows
// none of them by name.
#pragma once

// Registers every codec in the fixed order (FLIC, BMP, GIF, PCX, TGA, AVI,
// SPR, PNG, APNG; those built so far). Calling it again changes nothing.
void FormatRegisterAll();
