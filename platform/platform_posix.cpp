// POSIX implementation of the platform services.
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

void* MemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void* MemAllocZeroed(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
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

namespace {

thread_local const char* gFileError = nullptr;

// Records why a file call failed, from errno.
void NoteFileError() {
    switch (errno) {
        case EACCES:
        case EPERM:
        case EROFS: gFileError = "access denied"; break;
        case ENOENT:
        case ENOTDIR: gFileError = "the folder does not exist"; break;
        case ENOSPC:
        case EDQUOT: gFileError = "the disk is full"; break;
        case EFBIG: gFileError = "the file is too large"; break;
        default: break;
    }
}

}  // namespace

const char* FileErrorReason() { return gFileError; }
void FileErrorClear() { gFileError = nullptr; }

FileHandle* FileCreateNew(const char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);  // less the umask, as for any new file
    if (fd < 0) {
        NoteFileError();
        return nullptr;
    }
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
    if (close(file->fd) != 0 && errno != EINTR) {
        NoteFileError();
        return -1;
    }
    MemFree(file);
    return 0;
}

int64_t FileWrite(const void* source, uint32_t length, FileHandle* file) {
    if (!file) return -1;
    // One call, like WriteFile: a short count is reported as it is.
    ssize_t n = write(file->fd, source, length);
    if (n < 0) NoteFileError();
    return n < 0 ? -1 : static_cast<int64_t>(n);
}

int FileSeek(FileHandle* file, int32_t distance, int method) {
    if (!file) return -1;
    int whence = method == kSeekBegin ? SEEK_SET : method == kSeekCurrent ? SEEK_CUR : method == kSeekEnd ? SEEK_END : -1;
    if (whence < 0) return -1;
    return lseek(file->fd, distance, whence) < 0 ? -1 : 0;
}

int FileSeekTo(FileHandle* file, uint64_t offset) {
    if (!file || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    return lseek(file->fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}

namespace {
// Owner and group where the system lets us give them; otherwise the file
// stays the user's own, which is what a plain write would have made.
bool KeepOwner(const char* name, const struct stat& old) {
    return chown(name, old.st_uid, old.st_gid) == 0 || chown(name, static_cast<uid_t>(-1), old.st_gid) == 0;
}
}  // namespace

int FileReplace(const char* source, const char* target) {
    struct stat old {};
    if (stat(target, &old) == 0) {
        // The new file gets the old one's permissions: a private file stays private.
        KeepOwner(source, old);
        if (chmod(source, old.st_mode & 07777) != 0) return 0;
    }
    if (std::rename(source, target) == 0) return 1;
    NoteFileError();
    return 0;
}

bool FileFollowLinks(const char* name, char* out, size_t outSize) {
    // The name as given: no link, or one that cannot be read or followed.
    auto asGiven = [&](bool followed) {
        std::snprintf(out, outSize, "%s", name);
        return followed;
    };
    char path[PATH_MAX];
    const size_t length = std::strlen(name);
    if (length >= sizeof path || length >= outSize) return asGiven(true);
    std::memcpy(path, name, length + 1);
    // A chain of links ends at a file (which may not exist yet).
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) {
            std::snprintf(out, outSize, "%s", std::strlen(path) < outSize ? path : name);
            return true;
        }
        char link[PATH_MAX];
        const ssize_t n = readlink(path, link, sizeof link - 1);
        if (n <= 0) return asGiven(true);
        link[n] = '\0';
        if (link[0] == '/') {
            std::memcpy(path, link, static_cast<size_t>(n) + 1);
            continue;
        }
        // A relative link counts from the directory that holds it.
        const char* slash = std::strrchr(path, '/');
        const size_t dir = slash ? static_cast<size_t>(slash - path) + 1 : 0;
        if (dir + static_cast<size_t>(n) >= sizeof path) return asGiven(true);
        std::memcpy(path + dir, link, static_cast<size_t>(n) + 1);
    }
    // Still a link after as many as the system follows: a loop.
    return asGiven(false);
}

int FileDelete(const char* name) { return unlink(name) == 0 ? 1 : 0; }

// ---- Threads ----------------------------------------------------------------------

struct Thread {
    pthread_t handle;
    void (*body)(void*);
    void* context;
};

namespace {

void* RunThread(void* parameter) {
    auto* thread = static_cast<Thread*>(parameter);
    // Linux gives each thread its own nice value; elsewhere this may lower
    // the whole process, which is harmless for a tool.
    setpriority(PRIO_PROCESS, 0, 5);
    thread->body(thread->context);
    return nullptr;
}

}  // namespace

Thread* ThreadStart(void (*body)(void*), void* context) {
    auto* thread = static_cast<Thread*>(MemAlloc(sizeof(Thread)));
    if (!thread) return nullptr;
    thread->body = body;
    thread->context = context;
    if (pthread_create(&thread->handle, nullptr, RunThread, thread) == 0) return thread;
    MemFree(thread);
    return nullptr;
}

void ThreadJoin(Thread* thread) {
    if (!thread) return;
    pthread_join(thread->handle, nullptr);
    MemFree(thread);
}

namespace {
pthread_mutex_t gFilePlace = PTHREAD_MUTEX_INITIALIZER;
}

void FilePlaceLock() { pthread_mutex_lock(&gFilePlace); }
void FilePlaceUnlock() { pthread_mutex_unlock(&gFilePlace); }

void ThreadDetachSelf(Thread* thread) {
    pthread_detach(thread->handle);
    MemFree(thread);
}

struct Monitor {
    pthread_mutex_t lock;
    pthread_cond_t condition;
};

Monitor* MonitorCreate() {
    auto* monitor = static_cast<Monitor*>(MemAlloc(sizeof(Monitor)));
    if (!monitor) return nullptr;
    pthread_mutex_init(&monitor->lock, nullptr);
    pthread_cond_init(&monitor->condition, nullptr);
    return monitor;
}

void MonitorDestroy(Monitor* monitor) {
    if (!monitor) return;
    pthread_cond_destroy(&monitor->condition);
    pthread_mutex_destroy(&monitor->lock);
    MemFree(monitor);
}

void MonitorEnter(Monitor* monitor) { pthread_mutex_lock(&monitor->lock); }
void MonitorLeave(Monitor* monitor) { pthread_mutex_unlock(&monitor->lock); }
void MonitorWait(Monitor* monitor) { pthread_cond_wait(&monitor->condition, &monitor->lock); }
void MonitorWaitFor(Monitor* monitor, uint32_t milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    const uint64_t ns = uint64_t(until.tv_nsec) + uint64_t{milliseconds} * 1000000u;
    until.tv_sec += static_cast<time_t>(ns / 1000000000u);
    until.tv_nsec = static_cast<long>(ns % 1000000000u);
    pthread_cond_timedwait(&monitor->condition, &monitor->lock, &until);
}
void MonitorWakeAll(Monitor* monitor) { pthread_cond_broadcast(&monitor->condition); }
