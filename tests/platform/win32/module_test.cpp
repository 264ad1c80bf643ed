// LoadLibrary, FreeLibrary and GetProcAddress against a real test module
// (libtestmod.so in the build's library directory) whose DllMain logs its
// calls to a file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sync_helpers.h"

namespace {

using sync_test::errorOf;

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unlink(log_.c_str());
        setenv("ORV_TESTMOD_LOG", log_.c_str(), 1);
        unsetenv("ORV_TESTMOD_FAIL");
        unsetenv("ORV_TESTMOD_NESTED");
        unsetenv("ORV_MODULE_DIR");
    }
    void TearDown() override { unlink(log_.c_str()); }

    // The DllMain calls logged so far, one "attach 0x..." etc. per entry.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    static std::string entry(const char *what, HMODULE module) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s %p", what, static_cast<void *>(module));
        return buf;
    }

    const std::string log_ = "/opt/orv/log/testmod.log";
};

TEST_F(ModuleTest, NameFormsLoadTheSameModule) {
    const std::string path = std::string(ORV_LIB_DIR) + "/libtestmod.so";
    const char *names[] = {"testmod.dll", "TestMod.DLL", "testmod", "libtestmod.so", path.c_str()};
    std::vector<HMODULE> loaded;
    for (const char *name : names) {
        SetLastError(99);
        HMODULE m = LoadLibrary(name);
        ASSERT_NE(m, nullptr) << name;
        EXPECT_EQ(GetLastError(), 0u) << name;
        loaded.push_back(m);
    }
    for (HMODULE m : loaded) EXPECT_EQ(m, loaded.front());
    // One attach however often it was loaded, and the detach only on the
    // last FreeLibrary.
    EXPECT_EQ(calls(), std::vector<std::string>{entry("attach", loaded.front())});
    for (std::size_t i = 0; i + 1 < loaded.size(); ++i) EXPECT_TRUE(FreeLibrary(loaded[i]));
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_TRUE(FreeLibrary(loaded.back()));
    EXPECT_EQ(calls(), (std::vector<std::string>{entry("attach", loaded.front()),
                                                 entry("detach", loaded.front())}));
    // The module is gone: its handle is no longer valid.
    EXPECT_EQ(errorOf([&] { return FreeLibrary(loaded.front()); }), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(ModuleTest, RefusedAttachFailsTheLoadAndUnloads) {
    setenv("ORV_TESTMOD_FAIL", "1", 1);
    EXPECT_EQ(errorOf([] { return LoadLibrary("testmod.dll"); }), DWORD{ERROR_DLL_INIT_FAILED});
    // Nothing stayed loaded: the next load attaches afresh.
    unsetenv("ORV_TESTMOD_FAIL");
    HMODULE m = LoadLibrary("testmod.dll");
    ASSERT_NE(m, nullptr);
    auto log = calls();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("refuse ", 0), 0u);
    EXPECT_EQ(log[1], entry("attach", m));
    EXPECT_TRUE(FreeLibrary(m));
}

TEST_F(ModuleTest, SearchesOnlyTheModuleDirectory) {
    char dir[] = "/tmp/orv-moddir-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    struct Case {
        const char *moduleDir;  // nullptr: unset
        bool loads;
    } cases[] = {{dir, false}, {ORV_LIB_DIR, true}, {"", true}, {nullptr, true}};
    for (const Case &c : cases) {
        if (c.moduleDir)
            setenv("ORV_MODULE_DIR", c.moduleDir, 1);
        else
            unsetenv("ORV_MODULE_DIR");
        SetLastError(0);
        HMODULE m = LoadLibrary("testmod.dll");
        EXPECT_EQ(m != nullptr, c.loads) << (c.moduleDir ? c.moduleDir : "(unset)");
        if (m != nullptr) {
            EXPECT_TRUE(FreeLibrary(m));
        } else {
            EXPECT_NE(GetLastError(), 0u);
        }
    }
    rmdir(dir);
    unsetenv("ORV_MODULE_DIR");
    DWORD missing = errorOf([] { return LoadLibrary("nosuchmodule.dll"); });
    EXPECT_NE(missing, 0u);
    EXPECT_NE(missing, sync_test::kSucceeded);
}

TEST_F(ModuleTest, GetProcAddress) {
    HMODULE m = LoadLibrary("testmod.dll");
    ASSERT_NE(m, nullptr);
    auto answer = reinterpret_cast<int (*)(int)>(GetProcAddress(m, "TestModAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(20), 41);

    struct Case {
        HMODULE module;
        const char *name;
        DWORD error;
    } cases[] = {
        {m, "NoSuchExport", 127},
        {m, nullptr, static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
        {nullptr, "TestModAnswer", static_cast<DWORD>(ERROR_INVALID_HANDLE)},
        {reinterpret_cast<HMODULE>(0x12345678), "TestModAnswer",
         static_cast<DWORD>(ERROR_INVALID_HANDLE)},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(errorOf([&] { return GetProcAddress(c.module, c.name); }), c.error)
            << (c.name ? c.name : "NULL");
    }
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(errorOf([&] { return GetProcAddress(m, "TestModAnswer"); }),
              DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(ModuleTest, DllMainMayLoadOtherModules) {
    setenv("ORV_TESTMOD_NESTED", "1", 1);
    HMODULE m = LoadLibrary("testmod.dll");
    ASSERT_NE(m, nullptr);
    // The nested load shares the module: a load here only counts.
    HMODULE util = LoadLibrary("qorutil.dll");
    ASSERT_NE(util, nullptr);
    EXPECT_NE(GetProcAddress(util, "GetQorRootPath"), nullptr);
    EXPECT_TRUE(FreeLibrary(util));
    EXPECT_NE(GetProcAddress(util, "GetQorRootPath"), nullptr) << "still held by testmod";
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(errorOf([&] { return GetProcAddress(util, "GetQorRootPath"); }),
              DWORD{ERROR_INVALID_HANDLE})
        << "freed by testmod's detach";
}

TEST(ModuleArgs, BadArguments) {
    EXPECT_EQ(errorOf([] { return LoadLibrary(nullptr); }), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(errorOf([] { return FreeLibrary(nullptr); }), DWORD{ERROR_INVALID_HANDLE});
}

}  // namespace
