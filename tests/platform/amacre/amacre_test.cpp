// The registry-access library: reads, the more-data protocol, and the blocks
// callers read values into.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "amacre.h"
#include "qortrace.h"

namespace {

class Amacre : public testing::Test {
  protected:
    void SetUp() override {
        setenv("ORV_TRACE_FILE", kTrace, 1);
        setenv("ORV_TRACE_LEVELS", "all", 1);
        TraceLogReload();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\ALERTREPORT\\Prod", &key),
                  ERROR_SUCCESS);
        DWORD manual = 1;
        ASSERT_EQ(RegSetValueEx(key, "Manual", 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&manual), sizeof manual),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueEx(key, "Sources", 0, REG_BINARY,
                                reinterpret_cast<const BYTE *>(kSources), sizeof kSources),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::string trace() {
        std::ifstream in(kTrace);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static constexpr const char *kTrace = "/opt/orv/log/amacre-trace.log";
    static constexpr char kSources[] = "SrcA\0SrcB\0SrcC";  // 15 bytes and the final NUL
};

TEST_F(Amacre, ReadsValuesOfKeysAndSubkeys) {
    DWORD manual = 0, size = sizeof manual;
    ASSERT_TRUE(AMACREGetSubkeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\AlertReport", "prod",
                                     "MANUAL", &manual, &size));
    EXPECT_EQ(manual, 1u);
    EXPECT_EQ(size, 4u);

    char buffer[64];
    DWORD type = 0;
    size = sizeof buffer;
    ASSERT_TRUE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\ALERTREPORT\\Prod", "Sources",
                                &type, &size, buffer));
    EXPECT_EQ(type, DWORD{REG_BINARY});
    EXPECT_EQ(std::string(buffer, size), std::string(kSources, sizeof kSources));

    // The type is optional.
    size = sizeof buffer;
    EXPECT_TRUE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\ALERTREPORT\\Prod", "Manual",
                                nullptr, &size, buffer));
}

// The protocol of a value of unknown length: a read into a fixed buffer
// fails with 234 and the length, a block of that length is allocated and
// adjusted, and the second read fills it.
TEST_F(Amacre, TooSmallBufferReportsTheNeededSize) {
    char small[8];
    std::memset(small, '#', sizeof small);
    DWORD size = sizeof small;
    SetLastError(0);
    ASSERT_FALSE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\ALERTREPORT\\Prod", "Sources",
                                 nullptr, &size, small));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(size, sizeof kSources);
    EXPECT_EQ(small[0], '#');

    auto *block = static_cast<char *>(AMACREAlloc(AMACRE_ZEROINIT, size));
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(AMACREAdjustSize(&size));
    EXPECT_GE(size, sizeof kSources);
    ASSERT_TRUE(AMACREGetSubkeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\ALERTREPORT", "Prod",
                                     "sources", block, &size));
    EXPECT_EQ(std::string(block, size), std::string(kSources, sizeof kSources));
    free(block);
}

TEST_F(Amacre, MissingKeyOrValueFailsWithTwoAndOneTraceLine) {
    struct Case {
        const char *key;
        const char *subkey;
        const char *value;
    };
    const Case cases[] = {
        {"SOFTWARE\\ORV\\ALERTREPORT", "Other", "Manual"},
        {"SOFTWARE\\ORV\\ALERTREPORT", "Prod", "Missing"},
        {"SOFTWARE\\Nothing", nullptr, "Manual"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.key << " " << c.value);
        DWORD value = 0, size = sizeof value;
        SetLastError(0);
        EXPECT_FALSE(
            AMACREGetSubkeyValue(HKEY_LOCAL_MACHINE, c.key, c.subkey, c.value, &value, &size));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    }
    std::string lines = trace();
    std::size_t count = 0;
    for (std::size_t at = 0;
         (at = lines.find(" 1 amacre:AMACREGetSubkeyValue:", at)) != std::string::npos; ++at) {
        ++count;
    }
    EXPECT_EQ(count, std::size(cases)) << lines;
    EXPECT_NE(lines.find("error 2"), std::string::npos) << lines;

    DWORD value = 0;
    SetLastError(0);
    EXPECT_FALSE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, "SOFTWARE", "V", nullptr, nullptr, &value));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_FALSE(
        AMACRERegReadEx(reinterpret_cast<HKEY>(0x77), "SOFTWARE", "V", nullptr, &value, &value));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

// Every byte up to the adjusted size is the caller's, zeroed when asked;
// under the address sanitizer, a capacity beyond the block fails here.
TEST(AmacreBlocks, AdjustedSizeIsUsableAndZeroFilled) {
    for (DWORD asked : {0u, 1u, 15u, 16u, 17u, 508u, 4097u}) {
        SCOPED_TRACE(asked);
        auto *block = static_cast<unsigned char *>(AMACREAlloc(AMACRE_ZEROINIT, asked));
        ASSERT_NE(block, nullptr);
        DWORD capacity = asked;
        ASSERT_TRUE(AMACREAdjustSize(&capacity));
        EXPECT_GE(capacity, asked);
        EXPECT_GT(capacity, 0u);
        for (DWORD i = 0; i < capacity; ++i) ASSERT_EQ(block[i], 0) << i;
        std::memset(block, 0xAB, capacity);
        free(block);
    }
    SetLastError(0);
    EXPECT_FALSE(AMACREAdjustSize(nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

}  // namespace
