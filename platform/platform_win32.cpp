// Win32 implementation of the platform services.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>

// ---- Names ----------------------------------------------------------------------

std::wstring WideFromUtf8(const char* text) {
    if (!text || !*text) return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 1) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length) != length) return {};
    wide.pop_back();  // the NUL the call wrote
    return wide;
}

namespace {

// Plain names hold MAX_PATH characters with their NUL; a folder must leave
// room for an 8.3 leaf in it, which is why the system's limit for folders is 248.
constexpr size_t kPlainNameLimit = MAX_PATH - 12;

}  // namespace

std::wstring WideFileName(const char* name) {
    std::wstring wide = WideFromUtf8(name);
    if (wide.size() < kPlainNameLimit || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    // The long-path form takes no relative parts and no forward slashes:
    // the full path has neither.
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return wide;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return wide;
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    return L"\\\\?\\" + full;
}

bool Utf8FromWide(const wchar_t* text, char* out, size_t outSize) {
    if (outSize == 0) return false;
    out[0] = '\0';
    if (!text) return false;
    const int limit = outSize > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(outSize);
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, limit, nullptr, nullptr);
    if (length > 0) return true;
    out[0] = '\0';
    return false;
}

void* MemAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size); }
void* MemAllocZeroed(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size == 0 ? 1 : size); }
void MemFree(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}
void* MemRealloc(void* block, size_t size) {
    if (!block) return MemAlloc(size);
    return HeapReAlloc(GetProcessHeap(), 0, block, size == 0 ? 1 : size);
}

MapResult MappedFileOpen(const char* path, MappedFile* out) {
    *out = MappedFile{};
    HANDLE file = CreateFileW(WideFileName(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return MapResult::cannotOpen;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        CloseHandle(file);
        return MapResult::cannotMap;
    }
    // An empty file cannot be mapped; CreateFileMappingW fails on it as well.
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    if (!mapping) {
        CloseHandle(file);
        return MapResult::cannotMap;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0);
    if (!view) {
        CloseHandle(mapping);
        CloseHandle(file);
        return MapResult::cannotMap;
    }
    out->data = static_cast<uint8_t*>(view);
    out->size = static_cast<uint64_t>(size.QuadPart);
    out->osFile = file;
    out->osMapping = mapping;
    return MapResult::ok;
}

void MappedFileClose(MappedFile* file) {
    if (file->data) UnmapViewOfFile(file->data);
    if (file->osMapping) CloseHandle(file->osMapping);
    if (file->osFile) CloseHandle(file->osFile);
    *file = MappedFile{};
}

struct FileHandle {
    HANDLE handle;
};

namespace {

thread_local const char* gFileError = nullptr;

// Records why a file call failed, from the system's last error.
void NoteFileError() {
    switch (GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_SHARING_VIOLATION: gFileError = "access denied"; break;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH: gFileError = "the folder does not exist"; break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: gFileError = "the disk is full"; break;
        case ERROR_FILE_TOO_LARGE: gFileError = "the file is too large"; break;
        default: break;
    }
}

}  // namespace

const char* FileErrorReason() { return gFileError; }
void FileErrorClear() { gFileError = nullptr; }

FileHandle* FileOpen(const char* name, int mode) {
    DWORD access = 0, creation = 0;
    switch (mode) {
        case kFileRead: access = GENERIC_READ; creation = OPEN_EXISTING; break;
        case kFileCreate: access = GENERIC_WRITE; creation = CREATE_ALWAYS; break;
        case kFileReadWrite: access = GENERIC_READ | GENERIC_WRITE; creation = OPEN_EXISTING; break;
        default: return nullptr;
    }
    // Shared for deleting, as FileCreateNew's files are: a stream reopens its
    // temporary file for each piece, and an interrupt may remove it meanwhile.
    HANDLE handle = CreateFileW(WideFileName(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, creation,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (mode != kFileRead) NoteFileError();
        return nullptr;
    }
    auto* file = static_cast<FileHandle*>(MemAlloc(sizeof(FileHandle)));
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    return file;
}

FileHandle* FileCreateNew(const char* name) {
    const std::wstring wide = WideFileName(name);
    // Shared for deleting, so that an interrupted program can remove the file
    // while it is still being written (see SaveRemovePendingFiles).
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        NoteFileError();
        return nullptr;
    }
    auto* file = static_cast<FileHandle*>(MemAlloc(sizeof(FileHandle)));
    if (!file) {
        CloseHandle(handle);
        DeleteFileW(wide.c_str());
        return nullptr;
    }
    file->handle = handle;
    return file;
}

int FileClose(FileHandle* file) {
    if (!file || !CloseHandle(file->handle)) return -1;
    MemFree(file);
    return 0;
}

int64_t FileWrite(const void* source, uint32_t length, FileHandle* file) {
    DWORD written = 0;
    if (!file) return -1;
    if (!WriteFile(file->handle, source, length, &written, nullptr)) {
        NoteFileError();
        return -1;
    }
    return static_cast<int64_t>(written);
}

int FileSeek(FileHandle* file, int32_t distance, int method) {
    if (!file) return -1;
    return SetFilePointer(file->handle, distance, nullptr, static_cast<DWORD>(method)) == INVALID_SET_FILE_POINTER ? -1 : 0;
}

int FileSeekTo(FileHandle* file, uint64_t offset) {
    if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file->handle, to, nullptr, FILE_BEGIN) ? 0 : -1;
}

namespace {

bool MoveInPlace(const std::wstring& source, const std::wstring& target) {
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Reserves a new, empty file beside `source`, named like the temporary files
// and so no longer than `source`'s own name when that is one of them.
bool ReserveBackupName(const std::wstring& source, std::wstring* backup) {
    static unsigned counter = 0;
    const size_t slash = source.find_last_of(L"\\/:");
    const size_t dirLength = slash == std::wstring::npos ? 0 : slash + 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t leaf[16];
        wsprintfW(leaf, L"~mvb%05u.bak", counter++ % 100000);
        *backup = source.substr(0, dirLength) + leaf;
        HANDLE file = CreateFileW(backup->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
    }
    return false;
}

void DeleteBackup(const std::wstring& backup) {
    // It carries the old file's attributes, read-only among them.
    SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(backup.c_str());
}

}  // namespace

// A file that exists is replaced by the system's replace call, which keeps
// what the old file carried (attributes, security, named streams) where a
// rename would give the name the new file's. The call needs a backup name:
// without one, a replace that fails half-way can leave the old file under a
// name nobody knows, or none. With one, the old file is put back.
int FileReplace(const char* sourceName, const char* targetName) {
    const std::wstring source = WideFileName(sourceName);
    const std::wstring target = WideFileName(targetName);
    if (source.empty() || target.empty()) return 0;
    const DWORD old = GetFileAttributesW(target.c_str());
    if (old == INVALID_FILE_ATTRIBUTES) return MoveInPlace(source, target) ? 1 : 0;
    if (old & FILE_ATTRIBUTE_DIRECTORY) return 0;  // wine's replace call would move a folder aside
    std::wstring backup;
    // No name for the backup: a plain rename still replaces in one step.
    if (!ReserveBackupName(source, &backup)) return MoveInPlace(source, target) ? 1 : 0;
    if (ReplaceFileW(target.c_str(), source.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        // Wine's replace call leaves these behind.
        const DWORD now = GetFileAttributesW(target.c_str());
        const DWORD kept = old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if (now != INVALID_FILE_ATTRIBUTES && (now & kept) != kept) SetFileAttributesW(target.c_str(), now | kept);
        DeleteBackup(backup);
        return 1;
    }
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES)
        DeleteBackup(backup);  // the old file is in place: what is left is the empty reservation
    else
        MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);  // kept as the backup if even that fails
    return 0;
}

int FileDelete(const char* name) { return DeleteFileW(WideFileName(name).c_str()) ? 1 : 0; }

bool FileFollowLinks(const char* name, char* out, size_t outSize) {
    // Links are rare on Windows and the replace call keeps what a file carries.
    if (outSize == 0) return true;
    const size_t length = strnlen(name, outSize - 1);
    std::memcpy(out, name, length);
    out[length] = '\0';
    return true;
}

// ---- Threads ----------------------------------------------------------------------

struct Thread {
    HANDLE handle;
    void (*body)(void*);
    void* context;
    HMODULE module;  // a reference to the module of this code, held while the thread runs
};

namespace {

DWORD WINAPI RunThread(void* parameter) {
    auto* thread = static_cast<Thread*>(parameter);
    const HMODULE module = thread->module;  // the thread may be gone once the body returns
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    thread->body(thread->context);
    // The host may have freed the library while the thread ran on: the last
    // reference goes with the thread, without returning into its code.
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

Thread* ThreadStart(void (*body)(void*), void* context) {
    auto* thread = static_cast<Thread*>(MemAlloc(sizeof(Thread)));
    if (!thread) return nullptr;
    *thread = {nullptr, body, context, nullptr};
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunThread),
                            &thread->module))
        thread->module = nullptr;
    thread->handle = CreateThread(nullptr, 0, RunThread, thread, 0, nullptr);
    if (thread->handle) return thread;
    if (thread->module) FreeLibrary(thread->module);
    MemFree(thread);
    return nullptr;
}

void ThreadDetachSelf(Thread* thread) {
    CloseHandle(thread->handle);
    MemFree(thread);
}

void ThreadJoin(Thread* thread) {
    if (!thread) return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    MemFree(thread);
}

namespace {
SRWLOCK gFilePlace = SRWLOCK_INIT;
}

void FilePlaceLock() { AcquireSRWLockExclusive(&gFilePlace); }
void FilePlaceUnlock() { ReleaseSRWLockExclusive(&gFilePlace); }

struct Monitor {
    SRWLOCK lock;
    CONDITION_VARIABLE condition;
};

Monitor* MonitorCreate() {
    auto* monitor = static_cast<Monitor*>(MemAlloc(sizeof(Monitor)));
    if (!monitor) return nullptr;
    InitializeSRWLock(&monitor->lock);
    InitializeConditionVariable(&monitor->condition);
    return monitor;
}

void MonitorDestroy(Monitor* monitor) { MemFree(monitor); }
void MonitorEnter(Monitor* monitor) { AcquireSRWLockExclusive(&monitor->lock); }
void MonitorLeave(Monitor* monitor) { ReleaseSRWLockExclusive(&monitor->lock); }
void MonitorWait(Monitor* monitor) { SleepConditionVariableSRW(&monitor->condition, &monitor->lock, INFINITE, 0); }
void MonitorWaitFor(Monitor* monitor, uint32_t milliseconds) {
    SleepConditionVariableSRW(&monitor->condition, &monitor->lock, milliseconds, 0);
}
void MonitorWakeAll(Monitor* monitor) { WakeAllConditionVariable(&monitor->condition); }
