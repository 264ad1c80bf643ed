// Who may share the files and named objects of this layer (internal).
//
// They are open to their owner only, whatever the umask, unless the
// environment variable ORV_GROUP names a group (by name or number): they are
// then open to that group too, and objects of another owner are accepted when
// they belong to that group and are open to it and to nobody else.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace w32::access {

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

// The mode of a file or object: owner (and the shared group) read and write;
// folders also searchable.
inline mode_t fileMode(const std::optional<gid_t> &group) {
    return group ? 0660 : 0600;
}

// True when a file or object of this status may be used by this process:
// it is its own (its mode is then the owner's to correct), or it belongs to
// the shared group and is open to that group and to nobody else.
inline bool usable(const struct stat &status, const std::optional<gid_t> &group) {
    if (status.st_uid == ::geteuid()) return true;
    return group && status.st_gid == *group && (status.st_mode & 0007) == 0 &&
           (status.st_mode & 0060) == 0060;
}

}  // namespace w32::access
