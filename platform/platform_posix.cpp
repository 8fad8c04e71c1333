// POSIX implementation of the platform services.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

void* MemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void MemFree(void* block) { std::free(block); }
void* MemRealloc(void* block, size_t size) { return std::realloc(block, size == 0 ? 1 : size); }

MapResult MappedFileOpen(const char* path, MappedFile* out) {
    *out = MappedFile{};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return MapResult::cannotOpen;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return MapResult::cannotOpen;
    }
    if (st.st_size <= 0) {
        close(fd);
        return MapResult::cannotMap;
    }
    void* view = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    close(fd);  // the mapping keeps the file alive
    if (view == MAP_FAILED) return MapResult::cannotMap;
    out->data = static_cast<uint8_t*>(view);
    out->size = static_cast<uint64_t>(st.st_size);
    return MapResult::ok;
}

void MappedFileClose(MappedFile* file) {
    if (file->data) munmap(file->data, static_cast<size_t>(file->size));
    *file = MappedFile{};
}

struct FileHandle {
    int fd;
};

FileHandle* FileOpen(const char* name, int mode) {
    int flags = 0;
    switch (mode) {
        case kFileRead: flags = O_RDONLY; break;
        case kFileCreate: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
        case kFileReadWrite: flags = O_RDWR; break;
        default: return nullptr;
    }
    int fd = open(name, flags | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    auto* file = static_cast<FileHandle*>(MemAlloc(sizeof(FileHandle)));
    if (!file) {
        close(fd);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

FileHandle* FileCreateNew(const char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    auto* file = static_cast<FileHandle*>(MemAlloc(sizeof(FileHandle)));
    if (!file) {
        close(fd);
        unlink(name);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

int FileClose(FileHandle* file) {
    if (!file) return -1;
    if (close(file->fd) != 0 && errno != EINTR) return -1;
    MemFree(file);
    return 0;
}

int64_t FileWrite(const void* source, uint32_t length, FileHandle* file) {
    if (!file) return -1;
    // One call, like WriteFile: a short count is reported as it is.
    ssize_t n = write(file->fd, source, length);
    return n < 0 ? -1 : static_cast<int64_t>(n);
}

int FileSeek(FileHandle* file, int32_t distance, int method) {
    if (!file) return -1;
    int whence = method == kSeekBegin ? SEEK_SET : method == kSeekCurrent ? SEEK_CUR : method == kSeekEnd ? SEEK_END : -1;
    if (whence < 0) return -1;
    return lseek(file->fd, distance, whence) < 0 ? -1 : 0;
}

int FileReplace(const char* source, const char* target) { return std::rename(source, target) == 0 ? 1 : 0; }

int FileDelete(const char* name) { return unlink(name) == 0 ? 1 : 0; }

namespace {
struct PortablePalette {
    int count;
    PaletteEntry entries[256];
};
}  // namespace

PaletteHandle PaletteCreate(const PaletteEntry* entries, int count) {
    if (count < 1 || count > 256) return nullptr;
    auto* palette = static_cast<PortablePalette*>(MemAlloc(sizeof(PortablePalette)));
    if (!palette) return nullptr;
    palette->count = count;
    std::memcpy(palette->entries, entries, static_cast<size_t>(count) * sizeof(PaletteEntry));
    return palette;
}

int PaletteGetEntries(PaletteHandle handle, int start, int count, PaletteEntry* out) {
    auto* palette = static_cast<PortablePalette*>(handle);
    if (!palette || start < 0 || count < 0 || start >= palette->count) return 0;
    int n = count < palette->count - start ? count : palette->count - start;
    std::memcpy(out, palette->entries + start, static_cast<size_t>(n) * sizeof(PaletteEntry));
    return n;
}

void PaletteDelete(PaletteHandle handle) { MemFree(handle); }
