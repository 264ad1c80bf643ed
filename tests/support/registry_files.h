// Files that lead to the registry's own files, and a check that the registry
// keeps every process's writes while one process reads such files.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "process.h"
#include "registry_probe.h"
#include "w32compat.h"

namespace registry_files {

using orv_test::exitStatus;

inline constexpr const char kDatabase[] = "/opt/orv/var/registry.db";
inline constexpr const char kKey[] = "SOFTWARE\\ORV\\LockProbe";

// The registry's files as they exist while a connection is open.
inline std::vector<std::string> databaseFiles() {
    return {kDatabase, std::string(kDatabase) + "-wal", std::string(kDatabase) + "-shm"};
}

// Makes link lead to target: a symbolic link, or a hard link when hard.
inline void makeLink(const std::string &target, const std::string &link, bool hard) {
    ::unlink(link.c_str());
    int rc = hard ? ::link(target.c_str(), link.c_str()) : ::symlink(target.c_str(), link.c_str());
    ASSERT_EQ(rc, 0) << link << " -> " << target;
}

inline bool writeMark(const std::string &name) {
    return orv_test::writeText(kKey, name.c_str(), "1") == ERROR_SUCCESS;
}

inline bool hasMark(const std::string &name) {
    return orv_test::readValue(kKey, name.c_str()).has_value();
}

// A process with an open registry connection runs touch() (false: the
// process exits 5); then, in turn, another process writes and ends (believing
// it may be the registry's last user, as a setup tool does) and the first
// process writes again. Every write must be in the registry afterwards. The
// calling process must not have used the registry yet: it only forks, then
// reads at the end.
inline void expectNoWriteLost(const std::string &what, const std::function<bool()> &touch) {
    constexpr int kRounds = 2;
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        char byte = 0;
        if (!writeMark(what + " holder 0")) _exit(2);
        if (!touch()) _exit(5);
        for (int round = 1; round <= kRounds; ++round) {
            if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1) _exit(3);
            if (!writeMark(what + " holder " + std::to_string(round))) _exit(4);
        }
        // exit, not _exit: the connection is closed as the host closes it.
        std::exit(0);
    }
    char byte = 0;
    for (int round = 1; round <= kRounds; ++round) {
        ASSERT_EQ(::read(ready[0], &byte, 1), 1) << what;
        std::string mark = what + " writer " + std::to_string(round);
        pid_t pid = ::fork();
        if (pid == 0) std::exit(writeMark(mark) ? 0 : 1);
        EXPECT_EQ(exitStatus(pid), 0) << mark;
        ASSERT_EQ(::write(go[1], &byte, 1), 1);
    }
    EXPECT_EQ(exitStatus(holder), 0) << what;
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
    EXPECT_TRUE(hasMark(what + " holder 0")) << what;
    for (int round = 1; round <= kRounds; ++round) {
        for (const char *who : {" writer ", " holder "}) {
            std::string mark = what + who + std::to_string(round);
            EXPECT_TRUE(hasMark(mark)) << mark << " lost";
        }
    }
}

}  // namespace registry_files
