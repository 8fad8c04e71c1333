// Reduction for thumbnails: area averaging and fitting a size into a box.
#pragma once

#include "image/image.h"

struct ImageSize {
    int width;
    int height;
};

// The largest size of the same aspect ratio as width x height that fits in
// boxWidth x boxHeight, never larger than width x height and never below 1 x 1;
// 0 x 0 when any dimension is below 1.
ImageSize ImageFitSize(int width, int height, int boxWidth, int boxHeight);

// A rectangle of pixels: left and top in it, right and bottom past it.
struct ImageRect {
    int left;
    int top;
    int right;
    int bottom;
};

// A new 24-bit image of width x height (1..kImageMaxDimension) whose every
// pixel is the average of the source area it covers, partly covered source
// pixels weighed by the part (a box filter: a half-size reduction averages
// each 2 x 2 block). Along an axis where an output pixel covers more than 4
// source pixels, it averages 4 samples spread over them instead, so that
// the work follows the pixels made, never the source's size. Any source
// depth; none when the image cannot be created.
Image* ImageScaleArea(const Image* source, int width, int height);
// The same reduction, of only the part of the width x height result inside
// `part` (within it and not empty): an image of the part's size, whose work
// follows the part's pixels.
Image* ImageScaleAreaPart(const Image* source, int width, int height, ImageRect part);
