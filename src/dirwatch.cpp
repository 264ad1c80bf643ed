// Changes of the report information directory for the product link thread.
#include "dirwatch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "trace.h"

namespace amirtupt {

namespace {

constexpr const char kTraceSource[] = "amirtupt";

// IN_CREATE counts only for links (see linked()): a file made by a writer is
// seen when it is closed. The last four end the watch.
constexpr uint32_t kChangeMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_ATTRIB;
constexpr uint32_t kLostMask =
    IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

const char *watchError(int error, bool adding) {
    switch (error) {
        case ENOSPC:
            return "the limit of inotify watches is reached";
        case EMFILE:
            return adding ? std::strerror(error) : "the limit of inotify instances is reached";
        case ENOSYS:
            return "inotify is not available";
        default:
            return std::strerror(error);
    }
}

}  // namespace

bool DirectoryWatch::arm() {
    if (inotify_) return true;
    orv::UniqueFd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    int error = errno;
    bool adding = static_cast<bool>(fd);
    if (fd && inotify_add_watch(
                  fd.get(), path_,
                  kChangeMask | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK) >= 0) {
        inotify_ = std::move(fd);
        failureTraced_ = false;
        TRACE_AS("AM_Dll_ReportTableUpdate", kProgress, "watching %s for changes", path_);
        return true;
    }
    if (adding) error = errno;
    if (!failureTraced_) {
        TRACE_AS("AM_Dll_ReportTableUpdate", kError, "cannot watch %s : %s; the cycle goes on",
                 path_, watchError(error, adding));
        failureTraced_ = true;
    }
    return false;
}

DirectoryWatch::Change DirectoryWatch::lose(const char *why) {
    TRACE_AS("AM_Dll_ReportTableUpdate", kError, "watch of %s lost (%s); the cycle goes on", path_,
             why);
    inotify_.reset();
    return Change::Lost;
}

// A new name that a scan reads at once: a symbolic link, or a hard link to
// a file that was already complete elsewhere.
bool DirectoryWatch::linked(const char *name) const {
    std::string path = std::string(path_) + "/" + name;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return false;
    return S_ISLNK(status.st_mode) || (S_ISREG(status.st_mode) && status.st_nlink > 1);
}

DirectoryWatch::Change DirectoryWatch::read() {
    if (!inotify_) return Change::Lost;
    Change change = Change::None;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return change;
        if (n <= 0) return lose(n < 0 ? std::strerror(errno) : "end of events");
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) return lose("event queue overflow");
            if ((event->mask & kLostMask) != 0) return lose("the directory was removed or moved");
            if ((event->mask & IN_CREATE) != 0) {
                if ((event->mask & IN_ISDIR) == 0 && event->len > 0 && linked(event->name)) {
                    change = Change::Some;
                }
            } else if ((event->mask & kChangeMask) != 0) {
                change = Change::Some;
            }
        }
    }
}

}  // namespace amirtupt
