// The product link thread's watch on the report information directory: an
// inotify descriptor that becomes readable when a later scan would find
// something else there.
#pragma once

#include "unique_fd.h"

namespace amirtupt {

class DirectoryWatch {
  public:
    enum class Change {
        None,  // nothing a scan would see (a file still being written)
        Some,  // a file closed after writing, moved in or out, removed, linked, its mode changed
        Lost,  // events may be missing: the watch was dropped and a scan must catch up
    };

    explicit DirectoryWatch(const char *path) : path_(path) {}

    // Watches the directory unless it already does; true when watching. A
    // failure is traced at level 1 once, until watching succeeds again.
    bool arm();
    bool armed() const { return static_cast<bool>(inotify_); }
    // The descriptor to wait on while armed.
    int fd() const { return inotify_.get(); }
    // Reads every pending event. On Lost (queue overflow, the directory
    // removed, moved or unmounted, a failed read) the reason is traced at
    // level 1 and the watch is dropped; arm() makes it again.
    Change read();
    void close() { inotify_.reset(); }

  private:
    Change lose(const char *why);
    bool linked(const char *name) const;

    const char *path_;
    orv::UniqueFd inotify_;
    bool failureTraced_ = false;
};

}  // namespace amirtupt
