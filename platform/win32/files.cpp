// Opening files that others name without ever opening one of the registry's.
//
// SQLite guards the database with POSIX advisory locks, and closing any
// descriptor of a file drops every such lock the process holds on it. A
// report information file or a report table path that leads to the
// database (a symbolic or hard link) would otherwise make the next process
// that closes its connection believe it is the last, delete the log and
// leave this process writing to deleted copies.
//
// The check is made on the file, not on its name: the path is first opened
// with O_PATH, which reads nothing and whose close drops no lock, its
// identity compared with the registry's files, and only then is that very
// file opened for reading through /proc/self/fd. Swapping the path between
// the check and the open cannot bring in another file.
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

// Closes a descriptor opened with O_PATH when the holder goes, keeping errno.
class PathFd {
  public:
    explicit PathFd(int fd) : fd_(fd) {}
    ~PathFd() {
        if (fd_ < 0) return;
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    PathFd(const PathFd &) = delete;
    PathFd &operator=(const PathFd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Without /proc, the path is opened again and must still lead to the file
// that was checked. When it led to a registry file meanwhile, its
// descriptor is kept open for the life of the process: closing it would drop
// the locks this check protects.
int reopenByPath(const char *path, const struct stat &checked) {
    int fd = ::open(path, kReadFlags);
    if (fd < 0) return -1;
    struct stat now {};
    bool known = ::fstat(fd, &now) == 0;
    if (known && now.st_dev == checked.st_dev && now.st_ino == checked.st_ino) return fd;
    if (known && !w32::reg::isRegistryFile(now.st_dev, now.st_ino)) ::close(fd);
    errno = EAGAIN;
    return -1;
}

}  // namespace

extern "C" W32_API int OpenFileForReading(LPCSTR path, struct stat *status) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    PathFd pinned(::open(path, O_PATH | O_CLOEXEC));
    if (pinned.get() < 0) return -1;
    struct stat checked {};
    if (::fstat(pinned.get(), &checked) != 0) return -1;
    if (w32::reg::isRegistryFile(checked.st_dev, checked.st_ino)) {
        TraceLog(1, kTraceSource, "OpenFileForReading", __LINE__,
                 "%s is a file of the registry: not opened", path);
        errno = EACCES;
        return -1;
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", pinned.get());
    int fd = ::open(self, kReadFlags);
    if (fd < 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
        fd = reopenByPath(path, checked);
    }
    if (fd < 0) return -1;
    if (status != nullptr) *status = checked;
    return fd;
}
