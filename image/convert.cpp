#include "image/convert.h"

#include "image/work_meter.h"

uint32_t ImageColorAt(const Image* image, int x, int y) {
    const uint32_t v = ImageGetPixel(image, x, y);
    if (ImageBitCount(image) > 8) return v;
    const RgbQuad* q = ImageColorTable(image, static_cast<int>(v));
    return q->rgbBlue | (uint32_t{q->rgbGreen} << 8) | (uint32_t{q->rgbRed} << 16) | (uint32_t{q->rgbReserved} << 24);
}

int ImageFill(Image* image, uint32_t value) {
    const int width = ImageWidth(image);
    for (int y = ImageHeight(image) - 1; y >= 0; --y)
        for (int x = width - 1; x >= 0; --x) image->setPixel(image, x, y, value);
    return 1;
}

Image* ImageConvert(const Image* source, int depth, WorkMeter* work) {
    const int from = ImageBitCount(source);
    if (depth == from) return ImageDuplicate(source);
    Image* image = ImageCreate(ImageWidth(source), ImageHeight(source), depth);
    if (!image || depth != 24) return image;
    const int width = ImageWidth(source);
    for (int y = ImageHeight(source) - 1; y >= 0; --y) {
        if (work && !work->spend(uint64_t(width))) {
            ImageDestroy(image);
            return nullptr;
        }
        for (int x = width - 1; x >= 0; --x) {
            uint32_t v = ImageColorAt(source, x, y);
            if (from == 16) v = Rgb555To24(v);
            image->setPixel(image, x, y, v);  // the 24-bit writer keeps the low three bytes
        }
    }
    return image;
}
