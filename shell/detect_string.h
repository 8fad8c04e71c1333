// The detect string that the file manager stores when it installs the
// plug-in: which files it offers to it.
//
// FLIC files are recognised by their magic at offset 4 (0xAF11 FLI, 0xAF12
// FLC, little-endian: byte 5 is 175, byte 4 is 17 or 18) under the extensions
// they come with (FLI, FLC, and CEL, which Animator Pro wrote as FLC files),
// or under any name when the user forces the plug-in. Pro Motion SPR files go
// by extension and magic. The other formats Movrel reads are offered only
// when the user forces the plug-in, so that otherwise they stay with the file
// manager's own viewer.
#pragma once

inline constexpr char kDetectString[] =
    "[5]=175 & ([4]=17 | [4]=18) & (EXT=\"FLI\" | EXT=\"FLC\" | EXT=\"CEL\" | FORCE)"
    " | EXT=\"SPR\" & [0]=\"S\" & [1]=\"P\" & [2]=\"R\""
    " | FORCE & (EXT=\"GIF\" | EXT=\"BMP\" | EXT=\"PCX\" | EXT=\"TGA\")";
