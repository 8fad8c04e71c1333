// The AVI stream on Windows, through Video for Windows: the AVI file and
// stream services (AVIFIL32) write and read the file, the user picks the
// compressor in the system's "Video Compression" dialog, and the codec
// manager (MSVFW32) decompresses frames in read mode.
//
// The file is written under a temporary name beside the target and moved
// over it by a successful close, so a cancelled dialog or a failed export
// leaves an existing file of that name as it was.
#include <windows.h>
#include <vfw.h>

#include <cstring>

#include "codecs/avi.h"

namespace {

// Room that Video for Windows needs besides the frames: the headers with the
// padding it adds after them, the list headers and the index header.
constexpr uint64_t kFileOverhead = 64 * 1024;
// Per frame: its chunk header, padding and index entry.
constexpr uint64_t kFrameOverhead = 8 + 2 + 16;
// A stream format larger than this is not a bitmap header of any real file.
constexpr LONG kMaxFormatSize = 64 * 1024;
constexpr uint32_t kOutFormatMinSize = 108;  // a BITMAPV4HEADER, which has room for bit-field masks

struct AviStreamState {
    AVISTREAMINFOA streamInfo;
    PAVIFILE file;
    PAVISTREAM stream;
    PAVISTREAM compressed;
    AVICOMPRESSOPTIONS compressOptions;
    AVICOMPRESSOPTIONS* compressOptionsList;
    uint8_t* inFormat;
    uint8_t* outFormat;
    uint32_t inBufferSize;
    HIC decompressor;
    uint8_t* inBuffer;
    CRITICAL_SECTION lock;
    Image* frameImage;

    int32_t mode;
    uint32_t inFormatSize;
    bool lockReady;
    bool optionsChosen;  // the dialog filled compressOptions, which then own blocks
    bool failed;         // write mode: the file is gone; every later step fails
    char tempName[kMaxPath];
    uint8_t format[sizeof(BitmapInfo)];  // write mode: the frames' format, fixed by the first frame
    uint32_t formatSize;
    uint64_t bytesWritten;  // of frame data, as the compressor reported it
    uint32_t frames;
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

AviStreamState* StateOf(Stream* stream) { return static_cast<AviStreamState*>(stream->state); }

BITMAPINFOHEADER* Header(uint8_t* block) { return reinterpret_cast<BITMAPINFOHEADER*>(block); }

// Releases what write mode holds; the file is complete on disk afterwards.
void ReleaseWriter(AviStreamState* s) {
    if (s->stream) AVIStreamRelease(s->stream);
    if (s->compressed) AVIStreamRelease(s->compressed);
    if (s->file) AVIFileRelease(s->file);
    s->stream = s->compressed = nullptr;
    s->file = nullptr;
    if (s->optionsChosen) AVISaveOptionsFree(1, &s->compressOptionsList);
    s->optionsChosen = false;
}

// Drops the unfinished file: after this the stream only fails.
void DiscardFile(AviStreamState* s) {
    ReleaseWriter(s);
    if (s->tempName[0]) TempFileDiscard(s->tempName);
    s->tempName[0] = '\0';
    s->failed = true;
}

void ReleaseReader(AviStreamState* s) {
    if (s->lockReady) DeleteCriticalSection(&s->lock);
    if (s->stream) AVIStreamRelease(s->stream);
    if (s->decompressor) {
        ICSendMessage(s->decompressor, ICM_DECOMPRESS_END, 0, 0);
        ICClose(s->decompressor);
    }
    MemFree(s->inFormat);
    MemFree(s->outFormat);
    MemFree(s->inBuffer);
    ImageDestroy(s->frameImage);
}

// Frees the state and ends this stream's use of the AVI services.
void ReleaseState(Stream* stream) {
    AviStreamState* s = StateOf(stream);
    if (s->mode == 1) DiscardFile(s);
    if (s->mode == 0) ReleaseReader(s);
    AVIFileExit();
    MemFree(s);
    stream->state = nullptr;
}

int OpenForWriting(Stream* stream, AviStreamState* s, StreamOpenRequest* request) {
    Image* first = request->image;
    if (!first || ImageHeaderSize(first) > static_cast<int32_t>(sizeof(BitmapInfo))) {
        request->error = kErrorInvalidData;
        return 0;
    }
    s->formatSize = static_cast<uint32_t>(ImageHeaderSize(first));
    std::memcpy(s->format, ImageHeader(first), s->formatSize);
    const auto* options = static_cast<const AviExportOptions*>(request->options);

    FileHandle* temp = FileCreateTempBeside(stream->fileName, s->tempName);
    if (!temp || FileClose(temp) != 0 ||
        AVIFileOpenA(&s->file, s->tempName, OF_WRITE | OF_CREATE, nullptr) != 0) {
        request->error = kErrorWrite;
        return 0;
    }
    std::memset(&s->streamInfo, 0, sizeof s->streamInfo);
    s->streamInfo.fccType = streamtypeVIDEO;
    s->streamInfo.fccHandler = 0;
    s->streamInfo.dwScale = 1;
    s->streamInfo.dwRate = AviOpenRate(request);
    s->streamInfo.dwSuggestedBufferSize = static_cast<DWORD>(ImageBitsSize(first));
    SetRect(&s->streamInfo.rcFrame, 0, 0, ImageWidth(first), ImageHeight(first));
    if (AVIFileCreateStreamA(s->file, &s->stream, &s->streamInfo) != 0) {
        request->error = kErrorWrite;
        return 0;
    }

    std::memset(&s->compressOptions, 0, sizeof s->compressOptions);
    HWND owner = options ? static_cast<HWND>(options->owner) : nullptr;
    if (!AVISaveOptions(owner, 0, 1, &s->stream, &s->compressOptionsList)) return 0;  // cancelled: no error
    s->optionsChosen = true;
    // A compressor that refuses the frames' format refuses here.
    if (AVIMakeCompressedStream(&s->compressed, s->stream, &s->compressOptions, nullptr) != 0 ||
        AVIStreamSetFormat(s->compressed, 0, ImageHeader(first), ImageHeaderSize(first)) != 0) {
        request->error = kErrorColorNotSupported;
        return 0;
    }
    return 1;
}

// Why a file's video stream cannot be opened.
ErrorCode OpenError(const char* fileName, HRESULT result) {
    if (result == AVIERR_MEMORY) return kErrorOutOfMemory;
    if (GetFileAttributesA(fileName) == INVALID_FILE_ATTRIBUTES) return kErrorFileNotFound;
    return kErrorInvalidData;
}

int OpenForReading(Stream* stream, AviStreamState* s, StreamOpenRequest* request) {
    s->frameImage = nullptr;
    const HRESULT opened = AVIStreamOpenFromFileA(&s->stream, stream->fileName, streamtypeVIDEO, 0, OF_READ, nullptr);
    if (opened != 0) {
        s->stream = nullptr;
        request->error = OpenError(stream->fileName, opened);
        return 0;
    }
    LONG formatSize = 0;
    if (AVIStreamReadFormat(s->stream, 0, nullptr, &formatSize) != 0 || formatSize < 40 || formatSize > kMaxFormatSize) {
        request->error = kErrorInvalidData;
        return 0;
    }
    s->inFormatSize = static_cast<uint32_t>(formatSize);
    const uint32_t outSize = s->inFormatSize > kOutFormatMinSize ? s->inFormatSize : kOutFormatMinSize;
    s->inFormat = static_cast<uint8_t*>(MemAlloc(s->inFormatSize));
    s->outFormat = static_cast<uint8_t*>(MemAlloc(outSize));
    if (!s->inFormat || !s->outFormat) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    std::memset(s->outFormat, 0, kOutFormatMinSize);
    if (AVIStreamReadFormat(s->stream, 0, s->inFormat, &formatSize) != 0 ||
        !AviFormatUsable(s->inFormat, s->inFormatSize)) {
        request->error = kErrorInvalidData;
        return 0;
    }
    const LONG length = AVIStreamLength(s->stream);
    stream->frameCount = length > 0 ? length : 0;
    AVIStreamInfoA(s->stream, &s->streamInfo, sizeof s->streamInfo);

    std::memcpy(s->outFormat, s->inFormat, s->inFormatSize);
    BITMAPINFOHEADER* in = Header(s->inFormat);
    BITMAPINFOHEADER* out = Header(s->outFormat);
    out->biSize = outSize;
    out->biCompression = in->biBitCount == 24 ? BI_RGB : BI_BITFIELDS;
    // Frames are wanted bottom-up, the way the frame image holds them.
    if (out->biHeight < 0) out->biHeight = -out->biHeight;

    // The stream's own suggestion wins when it has one; reads grow the buffer
    // when a frame needs more.
    const uint64_t frameSize = AviFrameSize(s->inFormat);
    const uint64_t suggested = s->streamInfo.dwSuggestedBufferSize;
    s->inBufferSize = static_cast<uint32_t>(suggested != 0 && suggested <= kImageMaxBitsSize ? suggested : frameSize);
    stream->frameRate = AviHeaderRate(s->streamInfo.dwRate, s->streamInfo.dwScale);

    s->inBuffer = static_cast<uint8_t*>(MemAlloc(s->inBufferSize));
    if (!s->inBuffer) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    s->decompressor = ICLocate(ICTYPE_VIDEO, s->streamInfo.fccHandler, in, out, ICMODE_DECOMPRESS);
    if (s->decompressor &&
        ICSendMessage(s->decompressor, ICM_DECOMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(in),
                      reinterpret_cast<DWORD_PTR>(out)) != ICERR_OK) {
        ICClose(s->decompressor);
        s->decompressor = nullptr;
    }
    InitializeCriticalSection(&s->lock);
    s->lockReady = true;
    return 1;
}

// Reads the stored bytes of one frame into inBuffer, growing it when the
// frame is larger than the stream announced.
ErrorCode ReadSample(AviStreamState* s, LONG frame, LONG* bytes) {
    LONG needed = 0;
    if (AVIStreamRead(s->stream, frame, 1, nullptr, 0, &needed, nullptr) != 0 || needed < 0) return kErrorRead;
    if (static_cast<uint64_t>(needed) > kImageMaxBitsSize) return kErrorInvalidData;
    if (static_cast<uint32_t>(needed) > s->inBufferSize) {
        auto* grown = static_cast<uint8_t*>(MemRealloc(s->inBuffer, static_cast<size_t>(needed)));
        if (!grown) return kErrorOutOfMemory;
        s->inBuffer = grown;
        s->inBufferSize = static_cast<uint32_t>(needed);
    }
    *bytes = 0;
    if (needed > 0 && AVIStreamRead(s->stream, frame, 1, s->inBuffer, static_cast<LONG>(s->inBufferSize), bytes, nullptr) != 0)
        return kErrorRead;
    return kErrorNone;
}

// Decodes inBuffer into the frame image. Plain rows need no decompressor,
// and the platform does not always offer one for them.
ErrorCode Decode(AviStreamState* s, LONG bytes) {
    ErrorCode result = kErrorNone;
    EnterCriticalSection(&s->lock);
    Header(s->inFormat)->biSizeImage = static_cast<DWORD>(bytes);
    const bool decoded = s->decompressor && ICDecompress(s->decompressor, 0, Header(s->inFormat), s->inBuffer,
                                                         Header(s->outFormat), ImageBits(s->frameImage)) == ICERR_OK;
    if (!decoded) {
        if (AviFormatUncompressed(s->inFormat))
            result = AviCopyFrame(s->inFormat, s->inBuffer, static_cast<uint64_t>(bytes), s->frameImage);
        else
            result = s->decompressor ? kErrorInvalidData : kErrorUnsupportedType;
    }
    LeaveCriticalSection(&s->lock);
    return result;
}

}  // namespace

int AviOpen(Stream* stream, StreamOpenRequest* request) {
    auto* s = static_cast<AviStreamState*>(MemAlloc(sizeof(AviStreamState)));
    if (!s) {
        request->error = kErrorOutOfMemory;
        return 0;
    }
    std::memset(s, 0, sizeof *s);
    s->file = nullptr;
    s->stream = s->compressed = nullptr;
    s->compressOptionsList = &s->compressOptions;
    s->mode = request->mode;
    AVIFileInit();
    stream->state = s;
    int ok = 1;
    if (request->mode == 0) ok = OpenForReading(stream, s, request);
    else if (request->mode == 1) ok = OpenForWriting(stream, s, request);
    // A failed open leaves no stream behind it, so nothing else will release this.
    if (!ok) ReleaseState(stream);
    return ok;
}

Image* AviReadFrame(Stream* stream, StreamReadRequest* request) {
    AviStreamState* s = StateOf(stream);
    if (!s || s->mode != 0) {
        request->error = kErrorUnsupportedType;
        return nullptr;
    }
    if (request->frame < 0 || request->frame >= stream->frameCount) {
        request->error = kErrorRead;
        return nullptr;
    }
    LONG bytes = 0;
    ErrorCode error = ReadSample(s, request->frame, &bytes);
    if (error == kErrorNone && !s->frameImage) {
        s->frameImage = AviCreateFrameImage(s->inFormat, s->inFormatSize);
        if (!s->frameImage) error = kErrorOutOfMemory;
    }
    // An empty sample is a dropped frame: the picture stays as it was.
    if (error == kErrorNone && bytes > 0) error = Decode(s, bytes);
    if (error != kErrorNone) {
        request->error = error;
        return nullptr;
    }
    return s->frameImage;
}

int AviWriteFrame(Stream* stream, StreamFrameRequest* request) {
    AviStreamState* s = StateOf(stream);
    if (!s || s->mode != 1 || s->failed) {
        request->error = s && s->failed ? kErrorWrite : kErrorUnsupportedType;
        return 0;
    }
    Image* image = request->image;
    if (!AviFrameFitsFormat(image, s->format, s->formatSize)) {
        request->error = kErrorInvalidData;
        return 0;
    }
    // A compressed frame is rarely larger than the rows it was made from.
    const uint64_t frameBytes = static_cast<uint64_t>(ImageBitsSize(image));
    const uint64_t projected = kFileOverhead + s->bytesWritten + (uint64_t{s->frames} + 1) * kFrameOverhead + frameBytes;
    if (projected > AviSizeLimit()) {
        DiscardFile(s);
        request->error = kErrorWrite;
        return 0;
    }
    LONG written = 0;
    if (AVIStreamWrite(s->compressed, static_cast<LONG>(AviFramePosition(request)), 1, ImageBits(image),
                       static_cast<LONG>(frameBytes), AVIIF_KEYFRAME, nullptr, &written) != 0) {
        request->error = kErrorWrite;
        return 0;
    }
    s->bytesWritten += written > 0 ? static_cast<uint64_t>(written) : 0;
    ++s->frames;
    return 1;
}

int AviClose(Stream* stream, StreamCloseRequest* request) {
    AviStreamState* s = StateOf(stream);
    if (!s) return 1;
    int ok = 1;
    if (s->mode == 1 && !stream->abandoned) {
        ok = !s->failed;
        ReleaseWriter(s);  // completes the file
        if (ok && TempFilePutInPlace(s->tempName, stream->fileName)) s->tempName[0] = '\0';  // it is the real file now
        else ok = 0;
        if (!ok) request->error = kErrorWrite;
    }
    ReleaseState(stream);
    return ok;
}
