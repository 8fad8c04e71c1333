#include "tests/support/bmp_writer.h"

void PutLe(Bytes& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes BuildBmp(const BmpLayout& layout) {
    Bytes info;
    PutLe(info, layout.infoSize, 4);
    if (layout.infoSize == 12) {
        PutLe(info, static_cast<uint32_t>(layout.width), 2);
        PutLe(info, static_cast<uint32_t>(layout.height), 2);
        PutLe(info, 1, 2);
        PutLe(info, layout.bitCount, 2);
    } else {
        PutLe(info, static_cast<uint32_t>(layout.width), 4);
        PutLe(info, static_cast<uint32_t>(layout.height), 4);
        PutLe(info, 1, 2);
        PutLe(info, layout.bitCount, 2);
        PutLe(info, layout.compression, 4);
        PutLe(info, static_cast<uint32_t>(layout.pixels.size()), 4);
        PutLe(info, 2835, 4);
        PutLe(info, 2835, 4);
        PutLe(info, layout.colorsUsed, 4);
        PutLe(info, 0, 4);
        if (layout.infoSize >= 52)
            for (size_t i = 0; i < 4; ++i) PutLe(info, i < layout.masks.size() ? layout.masks[i] : 0, 4);
        info.resize(layout.infoSize, 0);
    }
    if (layout.infoSize < 52)
        for (uint32_t mask : layout.masks) PutLe(info, mask, 4);
    for (const Rgb& c : layout.palette) {
        info.insert(info.end(), {c.b, c.g, c.r});
        if (layout.infoSize != 12) info.push_back(layout.reserved);
    }
    const uint32_t offset = layout.pixelOffset.value_or(static_cast<uint32_t>(14 + info.size()));
    Bytes file = {'B', 'M'};
    PutLe(file, static_cast<uint32_t>(14 + info.size() + layout.pixels.size()), 4);
    PutLe(file, 0, 4);
    PutLe(file, offset, 4);
    file.insert(file.end(), info.begin(), info.end());
    if (file.size() < offset) file.resize(offset, 0xEE);  // a gap of junk before the pixels
    file.insert(file.end(), layout.pixels.begin(), layout.pixels.end());
    return file;
}

Bytes BmpRows(const std::vector<Bytes>& topDownRows, bool storeTopDown) {
    Bytes out;
    for (size_t i = 0; i < topDownRows.size(); ++i) {
        const Bytes& row = topDownRows[storeTopDown ? i : topDownRows.size() - 1 - i];
        out.insert(out.end(), row.begin(), row.end());
        out.resize((out.size() + 3) & ~size_t{3}, 0);
    }
    return out;
}
