#include "codecs/gif.h"

#include "codecs/gif_animation.h"
#include "codecs/gif_reader.h"
#include "codecs/gif_writer.h"
#include "formats/save.h"

namespace {

// The output of a step, left pending for the stream driver to write (and to
// free, should the step fail after all); none when the step wrote nothing, so
// that the file is not opened for it.
template <typename Request>
int Pending(Stream* stream, MemBuffer* buffer, bool ok, ErrorCode error, Request* request) {
    if (!ok || buffer->size == 0) {
        MemBufferFree(buffer);
        return ok ? 1 : StreamFail(request, error);
    }
    stream->pending = buffer;
    return 1;
}

MemBuffer* NewBuffer() { return MemBufferCreate(kMemBufferGrowStep, kMemBufferGrowStep); }

int GifStreamOpen(Stream* stream, StreamOpenRequest* request) {
    if (stream->mode != 1) return StreamFail(request, kErrorUnsupportedType);
    const GifStreamOptions options = request->options ? *static_cast<const GifStreamOptions*>(request->options)
                                                      : GifStreamOptions{0, nullptr};
    MemBuffer* buffer = NewBuffer();
    if (!buffer) return StreamFail(request, kErrorOutOfMemory);
    ErrorCode error = kErrorNone;
    GifAnimation* animation =
        GifAnimationStartWith(request->image, options.colors, options.dither != 0, buffer, &error, stream->work);
    stream->state = animation;
    return Pending(stream, buffer, animation != nullptr, error, request);
}

int GifStreamWriteFrame(Stream* stream, StreamFrameRequest* request) {
    MemBuffer* buffer = NewBuffer();
    if (!buffer) return StreamFail(request, kErrorOutOfMemory);
    ErrorCode error = kErrorNone;
    const bool ok = GifAnimationAdd(static_cast<GifAnimation*>(stream->state), request->image, request->delay,
                                    buffer, &error);
    return Pending(stream, buffer, ok, error, request);
}

int GifStreamClose(Stream* stream, StreamCloseRequest* request) {
    auto* animation = static_cast<GifAnimation*>(stream->state);
    stream->state = nullptr;
    if (stream->abandoned) {  // the file is not wanted: nothing to end
        GifAnimationDestroy(animation);
        return 1;
    }
    MemBuffer* buffer = NewBuffer();
    ErrorCode error = buffer ? kErrorNone : kErrorOutOfMemory;
    const bool ok = buffer && GifAnimationFinish(animation, buffer, &error);
    GifAnimationDestroy(animation);
    return Pending(stream, buffer, ok, error, request);
}

}  // namespace

const StreamOps kGifStreamOps = {GifStreamOpen, nullptr, GifStreamWriteFrame, GifStreamClose};

const FileFormat kGifFormat = {
    kFormatGif, GifProbe, nullptr, GifSave, "Graphics Interchange Format", "GIF", &kGifStreamOps, GifOpen, GifDuration,
};
