#include "formats/save.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

namespace {

int gFailWriteCountdown = 0;

// Set by an interrupt: no file is put in place after it.
std::atomic<bool> gInterrupted{false};

// The bytes FileWriteAll writes between looks at its meter.
constexpr int64_t kWriteStep = int64_t{1} << 20;

// The temporary files being written, so that an interrupted program can
// remove them (SaveRemovePendingFiles runs in a signal handler: the slots are
// claimed with atomics and filled before they count).
constexpr int kPendingSlots = 8;
struct PendingSlot {
    std::atomic<int> state;  // 0 free, 1 being filled, 2 pending
    char name[kMaxPath];
};
PendingSlot gPending[kPendingSlots];

void PendingAdd(const char* name) {
    for (PendingSlot& slot : gPending) {
        int free = 0;
        if (!slot.state.compare_exchange_strong(free, 1)) continue;
        std::snprintf(slot.name, sizeof slot.name, "%s", name);
        slot.state.store(2);
        return;
    }
}

void PendingDrop(const char* name) {
    for (PendingSlot& slot : gPending) {
        if (slot.state.load() == 2 && std::strcmp(slot.name, name) == 0) {
            slot.state.store(0);
            return;
        }
    }
}

// A number for a temporary name that nobody can guess or has left behind:
// the system's random source once, stirred for each name.
uint64_t NextTempNumber() {
    static uint64_t state = [] {
        uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        seed ^= reinterpret_cast<uintptr_t>(&seed);
        try {
            std::random_device device;
            seed ^= (uint64_t{device()} << 32) | device();
        } catch (...) {
            // no random source: the clock and the address remain
        }
        return seed;
    }();
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool IsSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/' || c == ':';
#else
    return c == '/';
#endif
}

// Appends a whole buffer to an existing file.
bool AppendToFile(const char* name, const MemBuffer* buffer, WorkMeter* work) {
    FileHandle* file = FileOpen(name, kFileReadWrite);
    if (!file) return false;
    const bool ok = FileSeek(file, 0, kSeekEnd) == 0 && FileWriteAll(file, buffer->data, buffer->size, work);
    const bool closed = FileClose(file) == 0;
    return ok && closed;
}

void DropPending(Stream* stream) {
    if (stream->pending) MemBufferClear(stream->pending);
}

// Writes the output of the latest step to the stream's temporary file,
// creating it on the first output.
bool FlushPending(Stream* stream) {
    if (!stream->pending || stream->pending->size == 0) return true;
    bool ok;
    if (!stream->tempCreated) {
        FileHandle* file = FileCreateTempBeside(stream->fileName, stream->tempName);
        if (!file) {
            DropPending(stream);
            return false;
        }
        stream->tempCreated = 1;
        ok = FileWriteAll(file, stream->pending->data, stream->pending->size, stream->work);
        ok = FileClose(file) == 0 && ok;
    } else {
        ok = AppendToFile(stream->tempName, stream->pending, stream->work);
    }
    DropPending(stream);
    return ok;
}

void StreamRelease(Stream* stream) {
    MemBufferFree(stream->pending);
    if (stream->tempCreated) TempFileDiscard(stream->tempName);
    MemFree(stream);
}

const StreamOps* OpsOf(const Stream* stream) { return stream->ops; }

// Ends a stream whose file could not be written.
void Discard(Stream* stream, Image* lastFrame) {
    StreamCloseRequest close{lastFrame, nullptr, kErrorNone};
    StreamAbandon(stream, &close);
}

// Runs one of a format's steps (a save, a stream's open, frame or close),
// 1 or 0 as it returns. The formats' containers throw where memory runs
// out: the step then fails as out of memory, and its caller ends it as any
// failed step, leaving nothing behind.
template <typename Request, typename Run>
int FormatStep(Request* request, Run run) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
        return Fail(request, kErrorOutOfMemory);
    }
}

// Ends a stream whose step failed: the format lets go of what it still
// holds (a step that ran out of memory midway may have left it some).
void EndFailed(Stream* stream, Image* lastFrame) {
    if (stream->state) Discard(stream, lastFrame);
    else StreamRelease(stream);
}

// A failed step's own status, or "Unknown error" when it gave none;
// cancelled when its meter stopped it.
Status KnownError(const Status& error, const WorkMeter* work) {
    if (work && work->stopAsked()) return Status::Cancelled();
    return !error.ok() ? error : Status(kErrorUnknown);
}

// Why a file could not be written, with the reason the system gave this
// thread; cancelled when its meter stopped it.
Status WriteError(const WorkMeter* work) {
    if (work && work->stopAsked()) return Status::Cancelled();
    return {kErrorWrite, FileErrorReason()};
}

// Appends `length` bytes at `at` if they fit before `end`; false when not.
bool Append(char*& at, const char* end, const char* text, size_t length) {
    if (length > static_cast<size_t>(end - at)) return false;
    std::memcpy(at, text, length);
    at += length;
    return true;
}
// Appends a text with its NUL.
bool Append(char*& at, const char* end, const char* text) { return Append(at, end, text, std::strlen(text) + 1); }

}  // namespace

void SaveInjectWriteFailure(int nth) { gFailWriteCountdown = nth > 0 ? nth : 0; }

FileHandle* FileCreateTempBeside(const char* target, char* tempName) {
    size_t dirLength = std::strlen(target);
    while (dirLength > 0 && !IsSeparator(target[dirLength - 1])) --dirLength;
    tempName[0] = '\0';
    for (int attempt = 0; attempt < 256; ++attempt) {
        char leaf[32];
        std::snprintf(leaf, sizeof leaf, "~mvr%08x.tmp", static_cast<unsigned>(NextTempNumber()));
        const size_t leafLength = std::strlen(leaf);
        if (dirLength + leafLength >= kMaxPath) return nullptr;
        std::memcpy(tempName, target, dirLength);
        std::memcpy(tempName + dirLength, leaf, leafLength + 1);
        // Pending before it exists, so that an interrupt can never find the
        // file there but not on the list.
        PendingAdd(tempName);
        if (FileHandle* file = FileCreateNew(tempName)) return file;
        PendingDrop(tempName);
    }
    tempName[0] = '\0';
    return nullptr;
}

int TempFilePutInPlace(const char* tempName, const char* target, const WorkMeter* work) {
    FilePlaceLock();
    const bool go = !gInterrupted.load() && !(work && work->stopAsked());
    const bool placed = go && FileReplace(tempName, target);
    if (placed) PendingDrop(tempName);
    FilePlaceUnlock();
    return placed ? 1 : 0;
}

void SaveStop(std::atomic<bool>* flag) {
    FilePlaceLock();
    flag->store(true);
    FilePlaceUnlock();
}

void TempFileDiscard(const char* tempName) {
    FileDelete(tempName);
    PendingDrop(tempName);
}

void SaveRemovePendingFiles() {
    for (PendingSlot& slot : gPending)
        if (slot.state.load() == 2) FileDelete(slot.name);
}

void SaveInterrupt(bool wait) {
    // A signal handler on the thread that holds the lock would wait for
    // ever; it need not wait, since that thread does not go on meanwhile.
    if (wait) FilePlaceLock();
    gInterrupted.store(true);
    SaveRemovePendingFiles();
    if (wait) FilePlaceUnlock();
}

void SaveInterruptReset() { gInterrupted.store(false); }

// WriteFile and write() may both stop short when the disk is full.
bool FileWriteAll(FileHandle* file, const uint8_t* data, int64_t size, WorkMeter* work) {
    const int64_t step = work ? kWriteStep : 0x40000000;
    while (size > 0) {
        if (work && !work->spend(static_cast<uint64_t>(size < step ? size : step))) return false;
        uint32_t chunk = static_cast<uint32_t>(size > step ? step : size);
        bool failNow = false;
        if (gFailWriteCountdown > 0 && --gFailWriteCountdown == 0) {
            chunk /= 2;  // half of it reaches the disk, then the disk is full
            failNow = true;
        }
        const int64_t written = chunk > 0 ? FileWrite(data, chunk, file) : 0;
        if (failNow || written <= 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

const FileFormat* FormatFindSaver(const SaveRequest* request) {
    for (int i = 0; i < kFormatSlots; ++i) {
        const FileFormat* slot = FormatSlot(i);
        if (slot->id == kFormatNone) break;
        if (slot->id == request->formatId && slot->save) return slot;
    }
    return nullptr;
}

int FormatSave(Image* image, SaveRequest* request) {
    const FileFormat* format = FormatFindSaver(request);
    if (!format) return Fail(request, kErrorUnsupportedType);
    request->error = kErrorNone;
    request->output = nullptr;
    if (FormatStep(request, [&] { return format->save(image, request); }) && request->output) return 1;
    return Fail(request, KnownError(request->error, request->work));
}

int ImageSaveFile(Image* image, const char* fileName, SaveRequest* request) {
    // A name that does not fit would be cut into another file's name.
    if (!fileName || std::strlen(fileName) >= kMaxPath) return Fail(request, {kErrorWrite, "the name is too long"});
    if (!FormatSave(image, request)) return 0;
    MemBufferPtr output(request->output);
    request->output = nullptr;
    char target[kMaxPath];
    if (!FileFollowLinks(fileName, target, sizeof target)) return Fail(request, WriteError(request->work));
    char tempName[kMaxPath];
    bool ok = false;
    if (FileHandle* file = FileCreateTempBeside(target, tempName)) {
        ok = FileWriteAll(file, output->data, output->size, request->work);
        ok = FileClose(file) == 0 && ok;
        ok = ok && TempFilePutInPlace(tempName, target, request->work);
        if (!ok) TempFileDiscard(tempName);
    }
    if (!ok) return Fail(request, WriteError(request->work));
    return 1;
}

Stream* StreamOpen(StreamOpenRequest* request) {
    const FileFormat* format = FormatFind(request->formatId);
    const StreamOps* ops = request->ops ? request->ops : format ? format->streamOps : nullptr;
    if (!ops || !ops->open) return Fail(request, kErrorUnsupportedType);
    if (!request->fileName || std::strlen(request->fileName) >= kMaxPath) return Fail(request, kErrorWrite);
    auto* stream = static_cast<Stream*>(MemAlloc(sizeof(Stream)));
    if (!stream) return Fail(request, kErrorOutOfMemory);
    std::memset(stream, 0, sizeof(Stream));
    // One buffer for every step, which keeps its memory from one to the next:
    // a large frame grows it a megabyte at a time, once.
    stream->pending = MemBufferCreate(kMemBufferGrowStep, 1 << 20);
    if (!stream->pending) {
        StreamRelease(stream);
        return Fail(request, kErrorOutOfMemory);
    }
    if (!FileFollowLinks(request->fileName, stream->fileName, sizeof stream->fileName)) {
        StreamRelease(stream);
        return Fail(request, kErrorWrite);
    }
    stream->formatId = request->formatId;
    stream->mode = request->mode;
    stream->work = request->work;
    stream->ops = ops;
    if (!FormatStep(request, [&] { return ops->open(stream, request); })) {
        // The user may have cancelled it (the AVI compression dialog):
        // callers show nothing for that.
        EndFailed(stream, request->image);
        return nullptr;
    }
    if (!FlushPending(stream)) {
        const Status error = WriteError(stream->work);
        Discard(stream, request->image);
        return Fail(request, error);
    }
    return stream;
}

int StreamWriteFrame(Stream* stream, StreamFrameRequest* request) {
    const StreamOps* ops = OpsOf(stream);
    if (!ops || !ops->writeFrame) return Fail(request, kErrorUnsupportedType);
    if (stream->failed) return Fail(request, kErrorWrite);  // its file is already gone
    if (!FormatStep(request, [&] { return ops->writeFrame(stream, request); })) {
        DropPending(stream);
        return Fail(request, KnownError(request->error, stream->work));
    }
    if (!FlushPending(stream)) {
        // The unfinished file goes at once; the stream itself stays until its
        // owner ends it, as after any other failed step.
        if (stream->tempCreated) TempFileDiscard(stream->tempName);
        stream->tempCreated = 0;
        stream->failed = 1;
        return Fail(request, WriteError(stream->work));
    }
    return 1;
}

int StreamClose(Stream* stream, StreamCloseRequest* request) {
    if (stream->failed) {
        StreamAbandon(stream, request);
        return Fail(request, kErrorWrite);
    }
    const StreamOps* ops = OpsOf(stream);
    if (!ops || !ops->close) {
        StreamRelease(stream);
        return Fail(request, kErrorUnsupportedType);
    }
    if (!FormatStep(request, [&] { return ops->close(stream, request); })) {
        const Status error = KnownError(request->error, stream->work);
        EndFailed(stream, request->image);
        return Fail(request, error);
    }
    bool ok = FlushPending(stream);
    if (ok && stream->tempCreated) {
        ok = TempFilePutInPlace(stream->tempName, stream->fileName, stream->work) != 0;
        if (ok) stream->tempCreated = 0;  // it is the real file now
    }
    const Status error = WriteError(stream->work);
    StreamRelease(stream);
    return ok ? 1 : Fail(request, error);
}

void StreamAbandon(Stream* stream, StreamCloseRequest* request) {
    if (!stream) return;
    const StreamOps* ops = OpsOf(stream);
    if (ops && ops->close) {
        stream->abandoned = 1;
        ops->close(stream, request);
    }
    StreamRelease(stream);
}

namespace {

// The pattern list of one format: "*.BMP;*.DIB".
void PatternList(const FileFormat* format, char* out, size_t outSize) {
    char* at = out;
    const char* const limit = out + outSize - 1;  // room for the NUL
    char extension[64];
    for (int n = 0; FormatExtension(format->id, extension, n, sizeof extension); ++n) {
        char pattern[80];
        const int length = std::snprintf(pattern, sizeof pattern, "%s*.%s", n > 0 ? ";" : "", extension);
        if (!Append(at, limit, pattern, static_cast<size_t>(length))) break;
    }
    *at = '\0';
}

// Appends "display\0patterns\0" when it fits.
bool AppendEntry(char*& at, const char* limit, const char* display, const char* patterns) {
    char* const start = at;
    if (Append(at, limit, display) && Append(at, limit, patterns)) return true;
    at = start;
    return false;
}

bool Listed(const FileFormat* format, int flags, FormatId id) {
    const StreamOps* ops = format->streamOps;
    if (id > 0 && format->id != id) return false;
    if ((flags & kFilterLoad) && !format->load && !format->open) return false;
    if ((flags & kFilterSave) && !format->save) return false;
    if ((flags & kFilterReadFrames) && !(ops && ops->readFrame)) return false;
    if ((flags & kFilterWriteFrames) && !(ops && ops->writeFrame)) return false;
    return true;
}

}  // namespace

int FormatFilter(FormatFilterList* list, int flags, FormatId id) {
    std::memset(list, 0, sizeof *list);
    const FileFormat* listed[kFormatSlots] = {};
    char patterns[kFormatSlots][128] = {};
    char allPatterns[sizeof list->text] = {};
    char* allEnd = allPatterns;
    int count = 0;
    for (int i = 0; i < kFormatSlots; ++i) {
        const FileFormat* format = FormatSlot(i);
        if (format->id == kFormatNone) break;
        if (!Listed(format, flags, id)) continue;
        PatternList(format, patterns[count], sizeof patterns[count]);
        if (count > 0) Append(allEnd, allPatterns + sizeof allPatterns - 1, ";", 1);
        Append(allEnd, allPatterns + sizeof allPatterns - 1, patterns[count], std::strlen(patterns[count]));
        listed[count++] = format;
    }

    char* at = list->text;
    // Texts that do not fit are not supported; whole entries are left out so
    // that what remains is a valid filter, and one byte stays for the final NUL.
    const char* const limit = list->text + sizeof list->text - 1;
    char display[sizeof list->text + 32];  // an entry longer than the text is left out below
    if (!(flags & kFilterSave) && id == -1) {
        std::snprintf(display, sizeof display, "All supported files (%s)", allPatterns);
        AppendEntry(at, limit, display, allPatterns);
    }
    int ids = 0;
    for (int i = 0; i < count; ++i) {
        std::snprintf(display, sizeof display, "%s (%s)", listed[i]->description, patterns[i]);
        if (!AppendEntry(at, limit, display, patterns[i])) break;
        list->ids[ids++] = listed[i]->id;
    }
    *at = '\0';
    return 1;
}

int FormatExtension(FormatId id, char* output, int n, size_t outputSize) {
    const FileFormat* format = FormatFind(id);
    if (!format || !format->extensions || n < 0) return 0;
    const char* item = format->extensions;
    for (int skipped = 0; skipped < n; ++skipped) {
        item = std::strchr(item, ';');
        if (!item) return 0;
        ++item;
    }
    const char* end = std::strchr(item, ';');
    const size_t length = end ? static_cast<size_t>(end - item) : std::strlen(item);
    if (length + 1 > outputSize) return 0;
    std::memcpy(output, item, length);
    output[length] = '\0';
    return 1;
}
