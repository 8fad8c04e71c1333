#include "codecs/export.h"

#include <cstdio>

#include "codecs/avi.h"
#include "codecs/gif_writer.h"
#include "image/convert.h"

namespace {

// How the frames of an animation reach one stream format.
struct ExportPlan {
    int depth = 0;                // every frame is converted to this depth first; 0 keeps it
    void* openOptions = nullptr;  // the open request's options
    bool positions = false;       // each frame request carries the frame's 0-based position
    AviExportOptions avi{};
    GifStreamOptions gif{};
};

// Fills the plan in place: its open options point into it.
void PlanFor(const ExportRequest& request, ExportPlan& plan) {
    if (request.formatId == kFormatAvi) {
        plan.depth = 24;
        plan.avi = {request.owner, AviFrameRate(ImageGetDelay(request.first))};
        plan.openOptions = &plan.avi;
        plan.positions = true;
    } else if (request.formatId == kFormatGif) {
        // The whole animation chooses the colour table that its frames share.
        plan.gif = {request.first, request.dither ? 1u : 0u};
        plan.openOptions = &plan.gif;
    }
}

// A frame as the plan wants it: the frame itself, or a converted copy that
// the caller destroys (`made`).
Image* PlannedFrame(Image* frame, const ExportPlan& plan, Image** made) {
    *made = nullptr;
    if (plan.depth == 0 || ImageBitCount(frame) == plan.depth) return frame;
    *made = ImageConvert(frame, plan.depth);
    return *made;
}

bool GoOn(const ExportRequest& request, int done, int total) {
    return !request.progress.frameDone || request.progress.frameDone(request.progress.context, done, total);
}

int Fail(ExportRequest* request, ErrorCode error) {
    request->error = error;
    return 0;
}

// Formats that hold an animation without a stream (SPR): the saver takes the
// whole chain at once.
int SaveWhole(ExportRequest* request) {
    SaveRequest save{request->formatId, request->options, nullptr, kErrorNone};
    if (!ImageSaveFile(request->first, request->fileName, &save)) return Fail(request, save.error);
    request->written = ImageCount(request->first);
    GoOn(*request, request->written, request->written);
    return 1;
}

}  // namespace

int ExportAnimation(ExportRequest* request) {
    request->error = kErrorNone;
    request->written = 0;
    const FileFormat* format = FormatFind(request->formatId);
    if (!format || !request->first) return Fail(request, kErrorUnsupportedType);
    if (!format->streamOps || !format->streamOps->writeFrame) return SaveWhole(request);

    ExportPlan plan;
    PlanFor(*request, plan);
    Image* made = nullptr;
    Image* firstFrame = PlannedFrame(request->first, plan, &made);
    if (!firstFrame) return Fail(request, kErrorOutOfMemory);
    StreamOpenRequest open{request->formatId, request->fileName, 1, firstFrame, plan.openOptions, kErrorNone};
    Stream* stream = StreamOpen(&open);
    ImageDestroy(made);
    if (!stream) return Fail(request, open.error);  // no error: the user cancelled

    // An unfinished animation is no use to anyone: a failure or a cancel
    // abandons the stream, which leaves nothing behind.
    const int total = ImageCount(request->first);
    Image* last = request->first;
    uint32_t position = 0;
    for (Image* frame = request->first; frame; frame = ImageNext(frame), ++position) {
        Image* planned = PlannedFrame(frame, plan, &made);
        StreamFrameRequest write{planned, ImageGetDelay(frame), plan.positions ? &position : nullptr,
                                 planned ? kErrorNone : kErrorOutOfMemory};
        const bool written = planned && StreamWriteFrame(stream, &write);
        ImageDestroy(made);
        if (written) {
            last = frame;
            ++request->written;
        }
        if (!written || !GoOn(*request, request->written, total)) {
            StreamCloseRequest close{last, nullptr, kErrorNone};
            StreamAbandon(stream, &close);
            return Fail(request, written ? kErrorNone : write.error);
        }
    }
    StreamCloseRequest close{last, nullptr, kErrorNone};
    if (!StreamClose(stream, &close)) return Fail(request, close.error);
    return 1;
}

bool ExportNumberedName(const char* base, FormatId id, int n, char* out, size_t outSize) {
    char extension[16];
    if (!FormatExtension(id, extension, 0, sizeof extension)) return false;
    const int length = std::snprintf(out, outSize, "%s%03d.%s", base, n, extension);
    return length >= 0 && static_cast<size_t>(length) < outSize;
}

int ExportNumberedFiles(ExportRequest* request) {
    request->error = kErrorNone;
    request->written = 0;
    if (!request->first) return Fail(request, kErrorUnsupportedType);
    const int total = ImageCount(request->first);
    char name[kMaxPath];
    // Refused before any file is written when the last, longest name would not fit.
    if (!ExportNumberedName(request->fileName, request->formatId, total - 1, name, sizeof name))
        return Fail(request, kErrorWrite);
    for (Image* frame = request->first; frame; frame = ImageNext(frame)) {
        ExportNumberedName(request->fileName, request->formatId, request->written, name, sizeof name);
        SaveRequest save{request->formatId, request->options, nullptr, kErrorNone};
        if (!ImageSaveFile(frame, name, &save)) return Fail(request, save.error);
        ++request->written;
        if (!GoOn(*request, request->written, total)) return 0;
    }
    return 1;
}
