// The few operating-system services the image library needs: the heap, a
// read-only copy-on-write view of a file and plain file handles, and the
// palette entry that images and codecs pass around. One implementation for Win32 (platform_win32.cpp) and one
// for POSIX systems (platform_posix.cpp); nothing else in the portable core
// touches the operating system.
//
// File names are UTF-8 throughout the library; the Win32 implementation
// hands them to the wide file functions.
#pragma once

#include <cstddef>
#include <cstdint>
#ifdef _WIN32
#include <string>
#endif

// ---- Heap -----------------------------------------------------------------
// Process heap on Win32, the malloc family elsewhere. Blocks are not zeroed.
// A failed MemRealloc leaves the old block valid.
void* MemAlloc(size_t size);
// A zeroed block: large ones come from the system as pages that cost nothing
// until they are written, so a huge picture that stays mostly black stays cheap.
void* MemAllocZeroed(size_t size);
void MemFree(void* block);
void* MemRealloc(void* block, size_t size);

// ---- Mapped files ---------------------------------------------------------
// A private, writable copy-on-write view of a whole file: changes made through
// `data` never reach the file.
struct MappedFile {
    uint8_t* data = nullptr;
    uint64_t size = 0;
    void* osFile = nullptr;     // platform handles, opaque to callers
    void* osMapping = nullptr;
};

enum class MapResult { ok, cannotOpen, cannotMap };

// Opens `path` for reading and maps it. cannotOpen: missing, locked, a
// directory. cannotMap: the file is empty or the view cannot be created.
MapResult MappedFileOpen(const char* path, MappedFile* out);
void MappedFileClose(MappedFile* file);

// ---- File handles -----------------------------------------------------------
struct FileHandle;

enum FileOpenMode : int {
    kFileRead = 1,        // an existing file, for reading
    kFileCreate = 2,      // create or truncate, for writing
    kFileReadWrite = 3,   // an existing file, for reading and writing
};

enum FileSeekMethod : int { kSeekBegin = 0, kSeekCurrent = 1, kSeekEnd = 2 };

FileHandle* FileOpen(const char* name, int mode);  // none for another mode
// Creates `name` for writing only if no file of that name exists yet, so that
// a temporary name can never clobber someone else's file. None otherwise.
FileHandle* FileCreateNew(const char* name);
int FileClose(FileHandle* file);                      // 0, or -1 (record kept)
int64_t FileWrite(const void* source, uint32_t length, FileHandle* file);  // bytes written, or -1
int FileSeek(FileHandle* file, int32_t distance, int method);             // 0, or -1
// To `offset` bytes from the file's start, which may lie past 4 GiB. 0, or -1.
int FileSeekTo(FileHandle* file, uint64_t offset);

// Replaces `target` by `source` (both in one directory) in one step where the
// platform allows it, giving `source` what the old file carried (its
// permissions). 1 on success.
int FileReplace(const char* source, const char* target);
// The file that `name` leads to through symbolic links, so that a save
// replaces that file and the links stay; `name` itself where there is no
// link or the result would not fit in `outSize` bytes. False when the links
// lead round in a loop (or further than the system would follow them): there
// is no file to write, and replacing the link would lose it.
bool FileFollowLinks(const char* name, char* out, size_t outSize);
int FileDelete(const char* name);
// Why this thread's last file call that failed did, in words for the user:
// "access denied", "the folder does not exist", "the disk is full"; none
// when the system gave a reason without words here, or none was recorded
// since FileErrorClear.
const char* FileErrorReason();
void FileErrorClear();

// ---- Threads ------------------------------------------------------------------
struct Thread;
// Runs body(context) on a thread of its own, below normal priority, so that
// it never competes with the thread that serves the user. None when no
// thread can be had.
Thread* ThreadStart(void (*body)(void*), void* context);
// Waits until the thread has ended, then frees it.
void ThreadJoin(Thread* thread);
// Called by the thread itself, in its body: nothing will join it, and what
// it holds is freed as it ends. (A thread keeps the module whose code it
// runs loaded until it has ended, so that a library may be freed while its
// thread finishes.)
void ThreadDetachSelf(Thread* thread);

// The one lock of the process around putting a finished file in place, so
// that a stop (a cancel, an interrupt handled on a thread of its own) comes
// wholly before that step or wholly after it. Never taken in a signal handler.
void FilePlaceLock();
void FilePlaceUnlock();

// A lock with one condition to wait for, shared by the threads of a worker.
struct Monitor;
Monitor* MonitorCreate();  // none when out of memory
void MonitorDestroy(Monitor* monitor);
void MonitorEnter(Monitor* monitor);
void MonitorLeave(Monitor* monitor);
// Leaves the monitor, waits until woken (or spuriously), enters it again.
void MonitorWait(Monitor* monitor);
// The same, waiting at most about `milliseconds`.
void MonitorWaitFor(Monitor* monitor, uint32_t milliseconds);
void MonitorWakeAll(Monitor* monitor);

// Holds a monitor for a scope.
class MonitorLock {
public:
    explicit MonitorLock(Monitor* monitor) : monitor_(monitor) { MonitorEnter(monitor_); }
    ~MonitorLock() { MonitorLeave(monitor_); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;

private:
    Monitor* monitor_;
};

#ifdef _WIN32
// ---- Names on Win32 -----------------------------------------------------------
// UTF-16 of UTF-8 `text`; empty when it is not valid UTF-8.
std::wstring WideFromUtf8(const char* text);
// A UTF-8 file name for the wide file functions: in the long-path form
// ("\\?\C:\..." made from the full path) when it is too long for the plain
// form, as it is. Empty when it is not valid UTF-8.
std::wstring WideFileName(const char* name);
// UTF-8 of `text` into `out` (`outSize` bytes, NUL included). False, with
// `out` empty, when it does not fit or `text` is not valid UTF-16.
bool Utf8FromWide(const wchar_t* text, char* out, size_t outSize);
#endif

// ---- Palette entries ----------------------------------------------------------
// Four bytes per entry, the layout of the Win32 PALETTEENTRY.
struct PaletteEntry {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
    uint8_t flags;
};
static_assert(sizeof(PaletteEntry) == 4);
