// Win32 implementation of the platform services.
#include "platform/platform.h"

#include <windows.h>

void* MemAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size); }
void MemFree(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}
void* MemRealloc(void* block, size_t size) {
    if (!block) return MemAlloc(size);
    return HeapReAlloc(GetProcessHeap(), 0, block, size == 0 ? 1 : size);
}

MapResult MappedFileOpen(const char* path, MappedFile* out) {
    *out = MappedFile{};
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return MapResult::cannotOpen;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        CloseHandle(file);
        return MapResult::cannotMap;
    }
    // An empty file cannot be mapped; CreateFileMappingA fails on it as well.
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
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

FileHandle* FileOpen(const char* name, int mode) {
    DWORD access = 0, creation = 0;
    switch (mode) {
        case kFileRead: access = GENERIC_READ; creation = OPEN_EXISTING; break;
        case kFileCreate: access = GENERIC_WRITE; creation = CREATE_ALWAYS; break;
        case kFileReadWrite: access = GENERIC_READ | GENERIC_WRITE; creation = OPEN_EXISTING; break;
        default: return nullptr;
    }
    HANDLE handle = CreateFileA(name, access, FILE_SHARE_READ, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* file = static_cast<FileHandle*>(MemAlloc(sizeof(FileHandle)));
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    return file;
}

FileHandle* FileCreateNew(const char* name) {
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* file = static_cast<FileHandle*>(MemAlloc(sizeof(FileHandle)));
    if (!file) {
        CloseHandle(handle);
        DeleteFileA(name);
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
    if (!file || !WriteFile(file->handle, source, length, &written, nullptr)) return -1;
    return static_cast<int64_t>(written);
}

int FileSeek(FileHandle* file, int32_t distance, int method) {
    if (!file) return -1;
    return SetFilePointer(file->handle, distance, nullptr, static_cast<DWORD>(method)) == INVALID_SET_FILE_POINTER ? -1 : 0;
}

namespace {

bool MoveInPlace(const char* source, const char* target) {
    return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Reserves a new, empty file beside `source`, named like the temporary files
// and so no longer than `source`'s own name when that is one of them.
bool ReserveBackupName(const char* source, char (&backup)[MAX_PATH]) {
    static unsigned counter = 0;
    size_t dirLength = lstrlenA(source);
    while (dirLength > 0 && source[dirLength - 1] != '\\' && source[dirLength - 1] != '/' && source[dirLength - 1] != ':')
        --dirLength;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char leaf[16];
        wsprintfA(leaf, "~mvb%05u.bak", counter++ % 100000);
        const size_t leafLength = lstrlenA(leaf);
        if (dirLength + leafLength >= MAX_PATH) return false;
        CopyMemory(backup, source, dirLength);
        CopyMemory(backup + dirLength, leaf, leafLength + 1);
        HANDLE file = CreateFileA(backup, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
    }
    return false;
}

void DeleteBackup(const char* backup) {
    // It carries the old file's attributes, read-only among them.
    SetFileAttributesA(backup, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(backup);
}

}  // namespace

// A file that exists is replaced by the system's replace call, which keeps
// what the old file carried (attributes, security, named streams) where a
// rename would give the name the new file's. The call needs a backup name:
// without one, a replace that fails half-way can leave the old file under a
// name nobody knows, or none. With one, the old file is put back.
int FileReplace(const char* source, const char* target) {
    const DWORD old = GetFileAttributesA(target);
    if (old == INVALID_FILE_ATTRIBUTES) return MoveInPlace(source, target) ? 1 : 0;
    if (old & FILE_ATTRIBUTE_DIRECTORY) return 0;  // wine's replace call would move a folder aside
    char backup[MAX_PATH];
    // No name for the backup: a plain rename still replaces in one step.
    if (!ReserveBackupName(source, backup)) return MoveInPlace(source, target) ? 1 : 0;
    if (ReplaceFileA(target, source, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        // Wine's replace call leaves these behind.
        const DWORD now = GetFileAttributesA(target);
        const DWORD kept = old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if (now != INVALID_FILE_ATTRIBUTES && (now & kept) != kept) SetFileAttributesA(target, now | kept);
        DeleteBackup(backup);
        return 1;
    }
    if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES)
        DeleteBackup(backup);  // the old file is in place: what is left is the empty reservation
    else
        MoveFileExA(backup, target, MOVEFILE_WRITE_THROUGH);  // kept as the backup if even that fails
    return 0;
}

int FileDelete(const char* name) { return DeleteFileA(name) ? 1 : 0; }

void FileFollowLinks(const char* name, char* out, size_t outSize) {
    // Links are rare on Windows and the replace call keeps what a file carries.
    lstrcpynA(out, name, static_cast<int>(outSize));
}

PaletteHandle PaletteCreate(const PaletteEntry* entries, int count) {
    if (count < 1 || count > 256) return nullptr;
    // LOGPALETTE holds one entry; room for the rest follows it.
    auto* logical = static_cast<LOGPALETTE*>(MemAlloc(sizeof(LOGPALETTE) + 255 * sizeof(PALETTEENTRY)));
    if (!logical) return nullptr;
    logical->palVersion = 0x300;
    logical->palNumEntries = static_cast<WORD>(count);
    for (int i = 0; i < count; ++i) {
        logical->palPalEntry[i].peRed = entries[i].red;
        logical->palPalEntry[i].peGreen = entries[i].green;
        logical->palPalEntry[i].peBlue = entries[i].blue;
        logical->palPalEntry[i].peFlags = entries[i].flags;
    }
    HPALETTE palette = CreatePalette(logical);
    MemFree(logical);
    return palette;
}

int PaletteGetEntries(PaletteHandle palette, int start, int count, PaletteEntry* out) {
    if (!palette || start < 0 || count <= 0) return 0;
    return static_cast<int>(GetPaletteEntries(static_cast<HPALETTE>(palette), static_cast<UINT>(start), static_cast<UINT>(count),
                                              reinterpret_cast<PALETTEENTRY*>(out)));
}

void PaletteDelete(PaletteHandle palette) {
    if (palette) DeleteObject(static_cast<HPALETTE>(palette));
}
