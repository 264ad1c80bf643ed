// The product link log.
#include <filesystem>

#include "lib_helpers.h"

TEST(PPLog, FileIsCreatedAndEmptiedOnlyPastTheBound) {
    ASSERT_FALSE(fileExists(kPPLinkLog));
    pplognotime("first\n");
    pplognotime("second\n");
    EXPECT_EQ(readFile(kPPLinkLog), "first\nsecond\n");

    for (size_t before : {0, 50000, 50001}) {  // emptied past 50000 bytes
        std::string old(before, 'x');
        writeFile(kPPLinkLog, old);
        pplognotime("entry %d %s\n", 7, "seven");
        EXPECT_EQ(readFile(kPPLinkLog), (before > 50000 ? "" : old) + "entry 7 seven\n") << before;
    }
}

// A root directory of `length` characters, made of directories that exist.
std::string rootOfLength(size_t length) {
    std::string root = "/opt/r";
    while (root.size() < length) {
        size_t remaining = length - root.size();  // never leave room for "/" alone
        size_t chunk = remaining <= 201 ? remaining - 1 : (remaining == 202 ? 199 : 200);
        root += "/" + std::string(chunk, 'd');
    }
    std::filesystem::create_directories(root + "/log");
    return root;
}

TEST(PPLog, EntryNeedsARootWithRoomForTheLogPathAndItsDirectory) {
    for (size_t length : {496, 497}) {  // the longest root, and one more
        std::string root = rootOfLength(length);
        ASSERT_EQ(root.size(), length);
        ASSERT_EQ(setenv("ORV_ROOT", root.c_str(), 1), 0);
        pplog("stamped\n");
        pplognotime("plain\n");
        EXPECT_EQ(countOf(readFile(root + "/log/PPLink.log"), "plain\n"), length == 496 ? 1u : 0u);
    }
    EXPECT_FALSE(fileExists(kPPLinkLog));

    // A root without log directory loses the entry silently.
    ASSERT_TRUE(std::filesystem::create_directories("/opt/bare"));
    ASSERT_EQ(setenv("ORV_ROOT", "/opt/bare", 1), 0);
    ASSERT_EQ(setenv("ORV_TRACE_FILE", "/opt/trace.log", 1), 0);  // it would make log/
    pplog("lost %d\n", 1);
    pplognotime("lost\n");
    EXPECT_FALSE(fileExists("/opt/bare/log"));
}

// The agent's files and folders are its owner's and group's to read alone,
// whatever the umask of the process that makes them: the registry's folder
// and files, the trace log and its folder, the product link log.
TEST(AgentFiles, ModesIgnoreTheUmask) {
    auto mode = [](const std::string &path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0u;
    };
    // No umask at all: any mode the agent's files are made with shows as it is.
    const std::string root = "/opt/root";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ::setenv("ORV_ROOT", root.c_str(), 1);
    ::umask(0);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ModeProbe", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    TraceLog(1, "test", "ModesIgnoreTheUmask", __LINE__, "made");
    pplog("made\n");
    for (const char *path : {"/var", "/log"}) EXPECT_EQ(mode(root + path), 0750u) << path;
    for (const char *path : {"/var/registry.db", "/var/registry.db-wal", "/var/registry.db-shm",
                             "/log/trace.log", "/log/PPLink.log"}) {
        EXPECT_EQ(mode(root + path), 0640u) << path;
    }
    ::unsetenv("ORV_ROOT");
}
