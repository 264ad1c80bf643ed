// LoadLibrary, FreeLibrary and GetProcAddress against a real test module
// (libtestmod.so in the build's library directory) whose DllMain logs its
// calls to a file.
#include <gtest/gtest.h>

#include "files.h"
#include "sync_helpers.h"

using orv_test::readFile;
using sync_test::errorOf;
constexpr char kLog[] = "/opt/testmod.log";

// A line of the module's log: what its DllMain did for the module.
std::string line(const char *what, HMODULE module) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %p\n", what, static_cast<void *>(module));
    return text;
}

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("ORV_TESTMOD_LOG", kLog, 1); }
};

// Every name form loads the one module: one attach however often it was
// loaded, the detach only on the last FreeLibrary, then the handle is dead,
// also for GetProcAddress.
TEST_F(ModuleTest, NameFormsLoadTheSameModuleAndCountLoads) {
    const std::string path = std::string(ORV_LIB_DIR) + "/libtestmod.so";
    const HMODULE m = LoadLibrary("testmod.dll");
    ASSERT_NE(m, nullptr);
    for (const char *name : {"TestMod.DLL", "testmod", "libtestmod.so", path.c_str()}) {
        SetLastError(99);
        EXPECT_EQ(LoadLibrary(name), m) << name;
        EXPECT_EQ(GetLastError(), 0u) << name;
    }
    auto answer = reinterpret_cast<int (*)(int)>(GetProcAddress(m, "TestModAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(20), 41);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(FreeLibrary(m)) << i;
    EXPECT_EQ(readFile(kLog), line("attach", m));
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(readFile(kLog), line("attach", m) + line("detach", m));
    for (HMODULE dead : {m, HMODULE{}, reinterpret_cast<HMODULE>(0x12345678)}) {
        EXPECT_EQ(errorOf([&] { return GetProcAddress(dead, "TestModAnswer"); }),
                  DWORD{ERROR_INVALID_HANDLE});
        EXPECT_EQ(errorOf([&] { return FreeLibrary(dead); }), DWORD{ERROR_INVALID_HANDLE});
    }
    EXPECT_EQ(errorOf([] { return LoadLibrary(nullptr); }), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(ModuleTest, RefusedAttachFailsTheLoadAndUnloads) {
    setenv("ORV_TESTMOD_FAIL", "1", 1);
    EXPECT_EQ(errorOf([] { return LoadLibrary("testmod.dll"); }), DWORD{ERROR_DLL_INIT_FAILED});
    unsetenv("ORV_TESTMOD_FAIL");
    HMODULE m = LoadLibrary("testmod.dll");  // nothing stayed loaded: it attaches afresh
    ASSERT_NE(m, nullptr);
    const std::string log = readFile(kLog);
    EXPECT_EQ(log.substr(0, 7), "refuse ");
    EXPECT_EQ(log.substr(log.find('\n') + 1), line("attach", m));
    EXPECT_EQ(errorOf([&] { return GetProcAddress(m, "NoSuchExport"); }), 127u);
    EXPECT_EQ(errorOf([&] { return GetProcAddress(m, nullptr); }), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(FreeLibrary(m));
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
