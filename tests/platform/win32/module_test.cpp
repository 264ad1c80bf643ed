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
using Log = std::vector<std::string>;

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ORV_TESTMOD_LOG", log_, 1);
        for (const char *name : {"ORV_TESTMOD_FAIL", "ORV_TESTMOD_NESTED", "ORV_MODULE_DIR"})
            unsetenv(name);
    }
    // The DllMain calls logged so far, one "attach 0x..." etc. per entry.
    Log calls() const {
        Log lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    static std::string entry(const char *what, HMODULE module) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s %p", what, static_cast<void *>(module));
        return buf;
    }
    const char *log_ = "/opt/testmod.log";
};

// Every name form loads the one module: one attach however often it was
// loaded, the detach only on the last FreeLibrary, then the handle is dead,
// also for GetProcAddress.
TEST_F(ModuleTest, NameFormsLoadTheSameModuleAndCountLoads) {
    const std::string path = std::string(ORV_LIB_DIR) + "/libtestmod.so";
    std::vector<HMODULE> loaded;
    for (const char *name :
         {"testmod.dll", "TestMod.DLL", "testmod", "libtestmod.so", path.c_str()}) {
        SetLastError(99);
        loaded.push_back(LoadLibrary(name));
        ASSERT_NE(loaded.back(), nullptr) << name;
        EXPECT_EQ(GetLastError(), 0u) << name;
        EXPECT_EQ(loaded.back(), loaded.front()) << name;
    }
    const HMODULE m = loaded[0];
    auto answer = reinterpret_cast<int (*)(int)>(GetProcAddress(m, "TestModAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(20), 41);
    const Log attached{entry("attach", m)};
    EXPECT_EQ(calls(), attached);
    for (std::size_t i = 0; i + 1 < loaded.size(); ++i) EXPECT_TRUE(FreeLibrary(loaded[i]));
    EXPECT_EQ(calls(), attached);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(calls(), (Log{attached[0], entry("detach", m)}));
    for (HMODULE dead : {m, HMODULE{}, reinterpret_cast<HMODULE>(0x12345678)}) {
        EXPECT_EQ(errorOf([&] { return GetProcAddress(dead, "TestModAnswer"); }),
                  DWORD{ERROR_INVALID_HANDLE});
    }
    EXPECT_EQ(errorOf([&] { return FreeLibrary(m); }), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(errorOf([] { return FreeLibrary(nullptr); }), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(errorOf([] { return LoadLibrary(nullptr); }), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(ModuleTest, RefusedAttachFailsTheLoadAndUnloads) {
    setenv("ORV_TESTMOD_FAIL", "1", 1);
    EXPECT_EQ(errorOf([] { return LoadLibrary("testmod.dll"); }), DWORD{ERROR_DLL_INIT_FAILED});
    unsetenv("ORV_TESTMOD_FAIL");
    HMODULE m = LoadLibrary("testmod.dll");  // nothing stayed loaded: it attaches afresh
    ASSERT_NE(m, nullptr);
    auto log = calls();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("refuse ", 0), 0u);
    EXPECT_EQ(log[1], entry("attach", m));
    EXPECT_EQ(errorOf([&] { return GetProcAddress(m, "NoSuchExport"); }), 127u);
    EXPECT_EQ(errorOf([&] { return GetProcAddress(m, nullptr); }), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(FreeLibrary(m));
}

TEST_F(ModuleTest, SearchesOnlyTheModuleDirectory) {
    char dir[] = "/tmp/orv-moddir-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    struct Case {
        const char *moduleDir;  // nullptr: unset
        const char *name;
        bool loads;
    } cases[] = {{dir, "testmod.dll", false},
                 {ORV_LIB_DIR, "testmod.dll", true},
                 {"", "testmod.dll", true},
                 {nullptr, "testmod.dll", true},
                 {nullptr, "nosuchmodule.dll", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.moduleDir ? c.moduleDir : c.name);
        c.moduleDir ? setenv("ORV_MODULE_DIR", c.moduleDir, 1) : unsetenv("ORV_MODULE_DIR");
        SetLastError(0);
        HMODULE h = LoadLibrary(c.name);
        EXPECT_EQ(h != nullptr, c.loads);
        EXPECT_TRUE(h ? FreeLibrary(h) : GetLastError() != 0);
    }
    rmdir(dir);
}

// A DllMain may load another module; a load of that one elsewhere only counts.
TEST_F(ModuleTest, DllMainMayLoadOtherModules) {
    setenv("ORV_TESTMOD_NESTED", "1", 1);
    HMODULE m = LoadLibrary("testmod.dll");
    HMODULE util = LoadLibrary("qorutil.dll");
    ASSERT_TRUE(m && util);
    EXPECT_TRUE(FreeLibrary(util));
    EXPECT_NE(GetProcAddress(util, "GetQorRootPath"), nullptr) << "still held by testmod";
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(errorOf([&] { return GetProcAddress(util, "GetQorRootPath"); }),
              DWORD{ERROR_INVALID_HANDLE})
        << "freed by testmod's detach";
}

}  // namespace
