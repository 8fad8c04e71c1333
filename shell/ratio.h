// A ratio of whole numbers: zoom factors and playback speeds.
#pragma once

struct Ratio {
    int num;
    int den;
};
