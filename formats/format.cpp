#include "formats/format.h"

#include <cstring>

#include "image/scale.h"

namespace {
FileFormat gRegistry[kFormatSlots];
}

int FormatRegister(const FileFormat& entry) {
    for (const FileFormat& slot : gRegistry)
        if (slot.id == entry.id) return 0;  // also refuses id 0: empty slots have it
    for (FileFormat& slot : gRegistry) {
        if (slot.id == kFormatNone) {
            slot = entry;
            return 1;
        }
    }
    return 0;
}

const FileFormat* FormatFind(FormatId id) {
    if (id == kFormatNone) return nullptr;
    for (const FileFormat& slot : gRegistry)
        if (slot.id == id) return &slot;
    return nullptr;
}

const FileFormat* FormatSlot(int index) {
    if (index < 0 || index >= kFormatSlots) return nullptr;
    return &gRegistry[index];
}

const FileFormat* FormatProbe(const LoadRequest* request) {
    for (const FileFormat& slot : gRegistry) {
        if (slot.id == kFormatNone) break;
        if (slot.probe && slot.probe(request)) return &slot;
    }
    return nullptr;
}

const char* ErrorMessage(ErrorCode code) {
    static const char* const kMessages[] = {
        "No error",      "Unsupported type",    "Unknown error", "Out of memory",  "Color not supported",
        "Read error",    "Write error",         "Invalid data",  "File not found",
    };
    if (code < 0 || code > 8) return "Unknown error";
    return kMessages[code];
}

void FormatRegistryReset() { std::memset(gRegistry, 0, sizeof gRegistry); }

Image* FormatLoad(LoadRequest* request) {
    // The decoders read through bounded readers and never fault, so no
    // processor-level guard is needed around them.
    const FileFormat* format = FormatProbe(request);
    if (!format) return LoadFail(request, nullptr, kErrorUnsupportedType);
    request->error = kErrorNone;
    request->endedEarly = kErrorNone;
    Image* first = format->load ? format->load(request) : nullptr;
    if (!first) return nullptr;
    first->format = format;
    return first;
}

Image* ImageLoadFile(const char* fileName, LoadRequest* request) {
    LoadRequest local{};
    if (!request) request = &local;
    MappedFile file;
    switch (MappedFileOpen(fileName, &file)) {
        case MapResult::cannotOpen: return LoadFail(request, nullptr, kErrorFileNotFound);
        case MapResult::cannotMap: return LoadFail(request, nullptr, kErrorInvalidData);
        case MapResult::ok: break;
    }
    if (file.size > 0xFFFFFFFFu) {  // sizes travel as 32 bits
        MappedFileClose(&file);
        return LoadFail(request, nullptr, kErrorInvalidData);
    }
    request->data = file.data;
    request->size = static_cast<uint32_t>(file.size);
    Image* first = FormatLoad(request);
    MappedFileClose(&file);
    request->data = nullptr;  // the view is gone; nothing may point into it
    return first;
}

Image* ImageLoadThumbnail(const char* fileName, int boxWidth, int boxHeight, LoadRequest* request) {
    request->frameLimit = 1;  // a long animation costs what a still does
    Image* first = ImageLoadFile(fileName, request);
    if (!first) return nullptr;
    const ImageSize fit = ImageFitSize(ImageWidth(first), ImageHeight(first), boxWidth, boxHeight);
    Image* thumbnail = fit.width > 0 ? ImageScaleArea(first, fit.width, fit.height) : nullptr;
    ImageDestroy(first);
    if (!thumbnail) request->error = fit.width > 0 ? kErrorOutOfMemory : kErrorUnknown;
    return thumbnail;
}

Image* LoadBudget::createImage(int width, int height, int depth) {
    return take(ImageFootprint(width, height, depth)) ? ImageCreate(width, height, depth) : nullptr;
}

uint64_t LoadBudget::ImageFootprint(int width, int height, int depth) {
    return DibStride(width, depth) * uint64_t(height) + sizeof(Image) + sizeof(BitmapInfo) + 2048;  // plus the logical palette
}
