// Who may share the agent's files and named objects.
//
// Named objects are open to their owner only and the registry's files, the
// logs and their folders to their owner and, for reading, its group,
// whatever the umask. The environment variable ORV_GROUP names a group (by
// name or number) that shares them all: they are then given that group and
// open to it for reading and writing, and named objects of another owner are
// accepted when they belong to that group and are open to it and to nobody
// else.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

namespace orv::access {

// The group of ORV_GROUP, or none when it is unset, empty or unknown.
inline std::optional<gid_t> sharedGroup() {
    const char *text = std::getenv("ORV_GROUP");
    if (text == nullptr || *text == '\0') return std::nullopt;
    char *end = nullptr;
    unsigned long number = std::strtoul(text, &end, 10);
    if (*end == '\0' && number <= 0xFFFFFFFEul) return static_cast<gid_t>(number);
    group entry{};
    group *found = nullptr;
    std::vector<char> buffer(4096);
    while (getgrnam_r(text, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) return std::nullopt;
    return found->gr_gid;
}

// The mode of a named object: owner (and the shared group) read and write.
inline mode_t objectMode(const std::optional<gid_t> &group) {
    return group ? 0660 : 0600;
}

// The mode of a file and of a folder of the agent.
inline mode_t fileMode(const std::optional<gid_t> &group) {
    return group ? 0660 : 0640;
}
inline mode_t folderMode(const std::optional<gid_t> &group) {
    return group ? 0770 : 0750;
}

// Gives a file or folder that this process just made the agent's mode and
// group, whatever the umask.
inline void makePrivate(int fd, bool folder) {
    const std::optional<gid_t> group = sharedGroup();
    if (group) (void)!::fchown(fd, static_cast<uid_t>(-1), *group);
    ::fchmod(fd, folder ? folderMode(group) : fileMode(group));
}
inline void makePrivate(const char *path, bool folder) {
    const std::optional<gid_t> group = sharedGroup();
    if (group) (void)!::chown(path, static_cast<uid_t>(-1), *group);
    ::chmod(path, folder ? folderMode(group) : fileMode(group));
}

// Opens path with flags (without O_CREAT), creating it first when it is
// missing with the agent's mode; an existing file keeps its mode. -1 and
// errno on failure.
inline int openCreating(const char *path, int flags) {
    int fd = ::open(path, flags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        makePrivate(fd, /*folder=*/false);
        return fd;
    }
    if (errno != EEXIST) return -1;
    return ::open(path, flags);
}

// Makes a folder with the agent's mode; false with errno when mkdir fails.
inline bool makeFolder(const char *path) {
    if (::mkdir(path, 0700) != 0) return false;
    makePrivate(path, /*folder=*/true);
    return true;
}

// True when a file or object of this status may be used by this process:
// it is its own (its mode is then the owner's to correct), or it belongs to
// the shared group and is open to that group and to nobody else.
inline bool usable(const struct stat &status, const std::optional<gid_t> &group) {
    if (status.st_uid == ::geteuid()) return true;
    return group && status.st_gid == *group && (status.st_mode & 0007) == 0 &&
           (status.st_mode & 0060) == 0060;
}

}  // namespace orv::access
