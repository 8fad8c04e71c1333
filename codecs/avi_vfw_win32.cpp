// The AVI stream on Windows, through Video for Windows: the AVI file and
// stream services (AVIFIL32) write and read the file, the user picks the
// compressor in the system's "Video Compression" dialog, and the codec
// manager (MSVFW32) decompresses frames in read mode.
//
// This is the Windows half behind the stream operations of avi.cpp, which
// also own the temporary file that is written here.
#include <windows.h>
#include <vfw.h>

#include <cstring>

#include "codecs/avi.h"
#include "platform/platform.h"

namespace {

// Room that Video for Windows needs besides the frames: the headers with the
// padding it adds after them, the list headers and the index header.
constexpr uint64_t kFileOverhead = 64 * 1024;
// Per frame: its chunk header, padding and index entry.
constexpr uint64_t kFrameOverhead = 8 + 2 + 16;
// A stream format larger than this is not a bitmap header of any real file.
constexpr LONG kMaxFormatSize = 64 * 1024;
constexpr uint32_t kOutFormatMinSize = 108;  // a BITMAPV4HEADER, which has room for bit-field masks

}  // namespace

// The Video for Windows state of one stream, in either mode; a mode leaves
// the other's fields zero. Made by the open with the services started for
// it (AVIFileInit), freed by the close (AVIFileExit).
struct AviStreamState {
    AVISTREAMINFOA streamInfo;  // read: from the file; write: built by the open
    PAVIFILE file;              // write: the file being written
    PAVISTREAM stream;          // read: the video stream of the file; write: the plain stream made in it
    PAVISTREAM compressed;      // write: the compressing stream on top of `stream`, which frames go to
    AVICOMPRESSOPTIONS compressOptions;       // write: what the user chose in the dialog
    AVICOMPRESSOPTIONS* compressOptionsList;  // write: the one-entry list the dialog takes
    uint8_t* inFormat;      // read: the stream's format as the file has it
    uint8_t* outFormat;     // read: the format asked of the decompressor, at least 108 bytes
    uint32_t inBufferSize;  // read
    HIC decompressor;       // read
    uint8_t* inBuffer;      // read: one frame as stored in the file
    CRITICAL_SECTION lock;  // read: held while a frame is decompressed
    Image* frameImage;      // read: every frame is decompressed into it; made at the first read
    // Ours besides.
    bool optionsChosen;     // write: the dialog filled compressOptions, which then own blocks
    uint64_t bytesWritten;  // write: of frame data, as the compressor reported it
    uint32_t frames;        // write
    uint32_t inFormatSize;  // read
    bool lockReady;         // read
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

// The two halves of avi.h are this one record.
struct AviWriter : AviStreamState {};
struct AviReader : AviStreamState {};

namespace {

BITMAPINFOHEADER* Header(uint8_t* block) { return reinterpret_cast<BITMAPINFOHEADER*>(block); }

// A zeroed record of the library's heap, and the AVI services started for it.
template <typename T>
T* NewRecord(ErrorCode* error) {
    auto* record = static_cast<T*>(MemAlloc(sizeof(T)));
    if (!record) {
        *error = kErrorOutOfMemory;
        return nullptr;
    }
    std::memset(record, 0, sizeof(T));
    AVIFileInit();
    return record;
}

template <typename T>
void FreeRecord(T* record) {
    AVIFileExit();
    MemFree(record);
}

// Video for Windows takes no long-path names: a file past the plain form's
// limit goes to it by its short (8.3) name, where the volume keeps them.
std::wstring VfwFileName(const char* name) {
    const std::wstring wide = WideFileName(name);
    if (wide.rfind(L"\\\\?\\", 0) != 0) return wide;
    wchar_t shortName[MAX_PATH];
    const DWORD length = GetShortPathNameW(wide.c_str(), shortName, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return wide;
    const std::wstring plain(shortName, length);
    if (plain.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + plain.substr(8);
    if (plain.rfind(L"\\\\?\\", 0) == 0) return plain.substr(4);
    return plain;
}

// Why a file's video stream cannot be opened.
ErrorCode OpenError(const char* fileName, HRESULT result) {
    if (result == AVIERR_MEMORY) return kErrorOutOfMemory;
    if (GetFileAttributesW(WideFileName(fileName).c_str()) == INVALID_FILE_ATTRIBUTES) return kErrorFileNotFound;
    return kErrorInvalidData;
}

// Sets up reading; false, with *error set, on failure.
bool OpenReader(AviReader* s, const char* fileName, int32_t* frameCount, int32_t* frameRate, ErrorCode* error) {
    const HRESULT opened = AVIStreamOpenFromFileW(&s->stream, VfwFileName(fileName).c_str(), streamtypeVIDEO, 0, OF_READ, nullptr);
    if (opened != 0) {
        s->stream = nullptr;
        *error = OpenError(fileName, opened);
        return false;
    }
    LONG formatSize = 0;
    if (AVIStreamReadFormat(s->stream, 0, nullptr, &formatSize) != 0 || formatSize < 40 || formatSize > kMaxFormatSize) {
        *error = kErrorInvalidData;
        return false;
    }
    s->inFormatSize = static_cast<uint32_t>(formatSize);
    const uint32_t outSize = s->inFormatSize > kOutFormatMinSize ? s->inFormatSize : kOutFormatMinSize;
    s->inFormat = static_cast<uint8_t*>(MemAlloc(s->inFormatSize));
    s->outFormat = static_cast<uint8_t*>(MemAlloc(outSize));
    if (!s->inFormat || !s->outFormat) {
        *error = kErrorOutOfMemory;
        return false;
    }
    std::memset(s->outFormat, 0, kOutFormatMinSize);
    if (AVIStreamReadFormat(s->stream, 0, s->inFormat, &formatSize) != 0 ||
        !AviFormatUsable(s->inFormat, s->inFormatSize)) {
        *error = kErrorInvalidData;
        return false;
    }
    const LONG length = AVIStreamLength(s->stream);
    *frameCount = length > 0 ? length : 0;
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
    *frameRate = AviHeaderRate(s->streamInfo.dwRate, s->streamInfo.dwScale);

    s->inBuffer = static_cast<uint8_t*>(MemAlloc(s->inBufferSize));
    if (!s->inBuffer) {
        *error = kErrorOutOfMemory;
        return false;
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
    return true;
}

// Reads the stored bytes of one frame into inBuffer, growing it when the
// frame is larger than the stream announced.
ErrorCode ReadSample(AviReader* s, LONG frame, LONG* bytes) {
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
ErrorCode Decode(AviReader* s, LONG bytes) {
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

// ---- Writing ------------------------------------------------------------------

AviWriter* AviWriterCreate(FileHandle* temp, const char* tempName, const Image* first, uint32_t rate, void* owner,
                           ErrorCode* error) {
    // Video for Windows opens the file by its name.
    if (FileClose(temp) != 0) {
        *error = kErrorWrite;
        return nullptr;
    }
    AviWriter* s = NewRecord<AviWriter>(error);
    if (!s) return nullptr;
    s->compressOptionsList = &s->compressOptions;
    if (AVIFileOpenW(&s->file, VfwFileName(tempName).c_str(), OF_WRITE | OF_CREATE, nullptr) != 0) {
        s->file = nullptr;
        AviWriterFree(s);
        *error = kErrorWrite;
        return nullptr;
    }
    s->streamInfo.fccType = streamtypeVIDEO;
    s->streamInfo.fccHandler = 0;
    s->streamInfo.dwScale = 1;
    s->streamInfo.dwRate = rate;
    s->streamInfo.dwSuggestedBufferSize = static_cast<DWORD>(ImageBitsSize(first));
    SetRect(&s->streamInfo.rcFrame, 0, 0, ImageWidth(first), ImageHeight(first));
    if (AVIFileCreateStreamA(s->file, &s->stream, &s->streamInfo) != 0) {
        s->stream = nullptr;
        AviWriterFree(s);
        *error = kErrorWrite;
        return nullptr;
    }
    if (!AVISaveOptions(static_cast<HWND>(owner), 0, 1, &s->stream, &s->compressOptionsList)) {
        AviWriterFree(s);
        return nullptr;  // cancelled: no error
    }
    s->optionsChosen = true;
    // A compressor that refuses the frames' format refuses here.
    if (AVIMakeCompressedStream(&s->compressed, s->stream, &s->compressOptions, nullptr) != 0 ||
        AVIStreamSetFormat(s->compressed, 0, const_cast<BitmapInfo*>(ImageHeader(first)), ImageHeaderSize(first)) != 0) {
        AviWriterFree(s);
        *error = kErrorColorNotSupported;
        return nullptr;
    }
    return s;
}

uint64_t AviWriterSizeAfter(const AviWriter* s, uint64_t frameBytes) {
    // A compressed frame is rarely larger than the rows it was made from.
    return kFileOverhead + s->bytesWritten + (uint64_t{s->frames} + 1) * kFrameOverhead + frameBytes;
}

ErrorCode AviWriterWrite(AviWriter* s, const Image* frame, uint32_t position, bool* lost, WorkMeter* work) {
    // The system writes a frame in one call: asked once before it.
    if (work && !work->spend(static_cast<uint64_t>(ImageBitsSize(frame)))) {
        *lost = true;
        return kErrorWrite;
    }
    LONG written = 0;
    if (AVIStreamWrite(s->compressed, static_cast<LONG>(position), 1, const_cast<uint8_t*>(ImageBits(frame)),
                       static_cast<LONG>(ImageBitsSize(frame)), AVIIF_KEYFRAME, nullptr, &written) != 0) {
        *lost = true;
        return kErrorWrite;
    }
    s->bytesWritten += written > 0 ? static_cast<uint64_t>(written) : 0;
    ++s->frames;
    return kErrorNone;
}

bool AviWriterFinish(AviWriter* s) {
    AviWriterFree(s);  // releasing the file completes it
    return true;
}

void AviWriterFree(AviWriter* s) {
    if (s->stream) AVIStreamRelease(s->stream);
    if (s->compressed) AVIStreamRelease(s->compressed);
    if (s->file) AVIFileRelease(s->file);
    if (s->optionsChosen) AVISaveOptionsFree(1, &s->compressOptionsList);
    FreeRecord(s);
}

// ---- Reading ------------------------------------------------------------------

AviReader* AviReaderOpen(const char* fileName, int32_t* frameCount, int32_t* frameRate, ErrorCode* error) {
    AviReader* s = NewRecord<AviReader>(error);
    if (!s) return nullptr;
    if (OpenReader(s, fileName, frameCount, frameRate, error)) return s;
    AviReaderFree(s);
    return nullptr;
}

Image* AviReaderFrame(AviReader* s, int32_t frame, ErrorCode* error) {
    LONG bytes = 0;
    ErrorCode result = ReadSample(s, frame, &bytes);
    if (result == kErrorNone && !s->frameImage) {
        s->frameImage = AviCreateFrameImage(s->inFormat, s->inFormatSize);
        if (!s->frameImage) result = kErrorOutOfMemory;
    }
    // An empty sample is a dropped frame: the picture stays as it was.
    if (result == kErrorNone && bytes > 0) result = Decode(s, bytes);
    if (result != kErrorNone) {
        *error = result;
        return nullptr;
    }
    return s->frameImage;
}

void AviReaderFree(AviReader* s) {
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
    FreeRecord(s);
}
