#include "formats/format.h"

#include <cstdio>
#include <cstring>

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

bool MapForLoad(const char* fileName, LoadRequest* request, MappedFile* file) {
    switch (MappedFileOpen(fileName, file)) {
        case MapResult::cannotOpen: request->error = kErrorFileNotFound; return false;
        case MapResult::cannotMap: request->error = kErrorInvalidData; return false;
        case MapResult::ok: break;
    }
    if (file->size > 0xFFFFFFFFu) {  // sizes travel as 32 bits
        MappedFileClose(file);
        request->error = kErrorInvalidData;
        return false;
    }
    request->data = file->data;
    request->size = static_cast<uint32_t>(file->size);
    return true;
}

void ErrorText(const Status& status, char* out, size_t size) {
    if (size == 0) return;
    if (status.cancelled()) {
        std::snprintf(out, size, "Cancelled");
        return;
    }
    // A step that failed without saying why is an unknown error.
    const char* message = ErrorMessage(status.failed() ? status.error : kErrorUnknown);
    if (status.failed() && status.reason)
        std::snprintf(out, size, "%s: %s", message, status.reason);
    else
        std::snprintf(out, size, "%s", message);
}

void LoadEndText(const Status& endedEarly, int32_t frames, int32_t statedFrames, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (endedEarly == kErrorInvalidData) {
        const char* reason = endedEarly.reason ? endedEarly.reason : "";
        const char* colon = endedEarly.reason ? ": " : "";
        if (frames > 0)
            std::snprintf(out, size, "the file is damaged after frame %d%s%s", static_cast<int>(frames) - 1, colon,
                          reason);
        else
            std::snprintf(out, size, "the file is damaged in its first frame%s%s", colon, reason);
    } else if (endedEarly == kErrorOutOfMemory) {
        if (statedFrames > frames)
            std::snprintf(out, size, "%d of %d frames: not enough memory for the rest", static_cast<int>(frames),
                          static_cast<int>(statedFrames));
        else
            std::snprintf(out, size, "%d frames: not enough memory for the rest", static_cast<int>(frames));
    }
}

void FrameFailedText(const Status& why, char* out, size_t size) {
    if (size == 0) return;
    char text[96] = "not enough memory";
    if (why != kErrorOutOfMemory) ErrorText(why, text, sizeof text);
    std::snprintf(out, size, "frame %d cannot be shown: %s", static_cast<int>(why.frame), text);
}

void DurationText(uint64_t milliseconds, char* out, size_t size) {
    if (size == 0) return;
    const uint64_t seconds = milliseconds / 1000, minutes = seconds / 60, hours = minutes / 60;
    const auto ms = static_cast<unsigned>(milliseconds % 1000), s = static_cast<unsigned>(seconds % 60);
    if (hours > 0)
        std::snprintf(out, size, "%llu:%02u:%02u.%03u", static_cast<unsigned long long>(hours),
                      static_cast<unsigned>(minutes % 60), s, ms);
    else
        std::snprintf(out, size, "%u:%02u.%03u", static_cast<unsigned>(minutes), s, ms);
}

BudgetImage LoadBudget::createImage(int width, int height, int depth) {
    return made(width, height, depth, [&] { return ImageCreate(width, height, depth); });
}

BudgetImage LoadBudget::duplicateImage(const Image* image) {
    return made(ImageWidth(image), ImageHeight(image), ImageBitCount(image), [&] { return ImageDuplicate(image); });
}

uint64_t LoadBudget::ImageFootprint(const Image* image) {
    return ImageFootprint(ImageWidth(image), ImageHeight(image), ImageBitCount(image));
}

uint64_t LoadBudget::ImageFootprint(int width, int height, int depth) {
    // The 2048 bytes stood for the logical palette that each Image once
    // carried; they stay, so that the budget cuts animations where it did.
    return DibStride(width, depth) * uint64_t(height) + sizeof(Image) + sizeof(BitmapInfo) + 2048;
}
