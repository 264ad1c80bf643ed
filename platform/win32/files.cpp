// Opening files that others name without ever opening one of the registry's.
//
// SQLite guards the database with POSIX advisory locks, and closing any
// descriptor of a file drops every such lock the process holds on it. A
// report information file or a report table path that leads to the
// database (a symbolic or hard link) would otherwise make the next process
// that closes its connection believe it is the last, delete the log and
// leave this process writing to deleted copies.
//
// The check is made on the file the path leads to (every link followed),
// before it is opened, and again on the descriptor after: a path swapped in
// between is refused, and a descriptor that then turns out to be a registry
// file is never closed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "qortrace.h"
#include "registry_store.h"
#include "w32compat.h"

namespace {

constexpr const char kTraceSource[] = "w32compat";
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

namespace {

// Opens path if it leads to the file `checked` describes, which must be none
// of the registry's files; `opened` receives the descriptor's status.
int openChecked(const char *path, const struct stat &checked, struct stat &opened) {
    if (w32::reg::isRegistryFile(checked.st_dev, checked.st_ino)) {
        TraceLog(1, kTraceSource, "OpenFileForReading", __LINE__,
                 "%s is a file of the registry: not opened", path);
        errno = EACCES;
        return -1;
    }
    int fd = ::open(path, kReadFlags);
    if (fd < 0) return -1;
    if (::fstat(fd, &opened) == 0 && sameFile(opened, checked)) return fd;
    // The path led elsewhere between the check and the open. Should it now
    // lead to a registry file, its descriptor stays open for the life of the
    // process: closing it is what would drop the locks.
    if (!w32::reg::isRegistryFile(opened.st_dev, opened.st_ino)) ::close(fd);
    errno = EAGAIN;
    return -1;
}

}  // namespace

extern "C" W32_API int OpenFileForReadingAs(LPCSTR path, const struct stat *checked) {
    if (path == nullptr || checked == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat opened {};
    return openChecked(path, *checked, opened);
}

extern "C" W32_API int OpenFileForReading(LPCSTR path, struct stat *status) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat checked {};
    if (::stat(path, &checked) != 0) return -1;
    struct stat opened {};
    int fd = openChecked(path, checked, opened);
    if (fd >= 0 && status != nullptr) *status = opened;
    return fd;
}
