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

// A new 24-bit image of width x height (1..kImageMaxDimension) whose every
// pixel is the average of the source area it covers, partly covered source
// pixels weighed by the part (a box filter: a half-size reduction averages
// each 2 x 2 block). Any source depth; none when the image cannot be created.
Image* ImageScaleArea(const Image* source, int width, int height);
