// The registry-access library: reads, the more-data protocol, and the blocks
// callers read values into.
#include <gtest/gtest.h>

#include "amacre.h"
#include "files.h"
#include "registry_probe.h"

using namespace orv_test;

constexpr char kSources[] = "SrcA\0SrcB\0SrcC";  // 15 bytes and the final NUL
const std::string kSourcesBytes(kSources, sizeof kSources);

// A read into a buffer too small fails with 234 and the length, writing
// nothing; a block of that length, adjusted, takes the value. Key, subkey and
// value names ignore case; the type is optional. Each other failed read sets
// its error and says so in one trace line.
TEST(Amacre, ReadsFollowTheMoreDataProtocolAndFailuresSetTheError) {
    setenv("ORV_TRACE_FILE", "/opt/trace.log", 1);
    ASSERT_EQ(writeDword(productKey("Prod"), "Manual", 1), ERROR_SUCCESS);
    ASSERT_EQ(writeValue(productKey("Prod"), "Sources", REG_BINARY, kSourcesBytes), ERROR_SUCCESS);
    char small[8] = "#";
    DWORD size = sizeof small, type = 0, manual = 0;
    ASSERT_FALSE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, productKey("Prod").c_str(), "Sources", nullptr,
                                 &size, small));
    EXPECT_EQ(std::pair(GetLastError(), size),
              std::pair(DWORD{ERROR_MORE_DATA}, DWORD{sizeof kSources}));
    EXPECT_EQ(small[0], '#');
    auto *block = static_cast<char *>(AMACREAlloc(AMACRE_ZEROINIT, size));
    ASSERT_TRUE(AMACREAdjustSize(&size));
    ASSERT_TRUE(AMACREGetSubkeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\AlertReport", "prod",
                                     "sources", block, &size));
    EXPECT_EQ(std::string(block, size), kSourcesBytes);
    free(block);
    size = sizeof manual;
    ASSERT_TRUE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, "software\\orv\\alertreport\\PROD", "MANUAL",
                                &type, &size, &manual));
    EXPECT_EQ(std::pair(manual, type), std::pair(1u, DWORD{REG_DWORD}));

    const std::tuple<const char *, const char *, const char *> misses[] = {
        {"SOFTWARE\\ORV\\ALERTREPORT", "Other", "Manual"},
        {"SOFTWARE\\ORV\\ALERTREPORT", "Prod", "Missing"},
        {"SOFTWARE\\Nothing", nullptr, "Manual"}};
    for (const auto &[key, subkey, name] : misses) {
        SetLastError(0);
        EXPECT_FALSE(AMACREGetSubkeyValue(HKEY_LOCAL_MACHINE, key, subkey, name, &manual, &size));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND}) << key << " " << name;
    }
    EXPECT_FALSE(AMACRERegReadEx(HKEY_LOCAL_MACHINE, "SOFTWARE", "V", nullptr, nullptr, &manual));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_FALSE(
        AMACRERegReadEx(reinterpret_cast<HKEY>(0x77), "SOFTWARE", "V", nullptr, &size, &manual));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    const std::string trace = readFile("/opt/trace.log");
    EXPECT_EQ(countOf(trace, " 1 amacre:AMACREGetSubkeyValue:"), 3u) << trace;
    EXPECT_EQ(countOf(trace, " 1 amacre:AMACRERegReadEx:"), 2u) << trace;
    EXPECT_EQ(countOf(trace, "error 2\n"), 3u) << trace;
}

// Blocks come in whole 16-byte granules, at least one, and the adjusted size
// is that capacity: every byte up to it is the caller's, zeroed when asked
// (under the address sanitizer a capacity beyond the block fails here).
TEST(AmacreBlocks, AdjustedSizeIsTheBlocksWholeGranules) {
    const std::pair<DWORD, DWORD> sizes[] = {{0, 16}, {1, 16}, {16, 16}, {17, 32}, {4096, 4096}};
    for (const auto &[asked, capacity] : sizes) {
        auto *block = static_cast<unsigned char *>(AMACREAlloc(AMACRE_ZEROINIT, asked));
        DWORD adjusted = asked;
        ASSERT_TRUE(block != nullptr && AMACREAdjustSize(&adjusted));
        EXPECT_EQ(adjusted, capacity) << asked;
        for (DWORD i = 0; i < adjusted; ++i) ASSERT_EQ(block[i], 0) << asked << " " << i;
        free(block);
    }
    EXPECT_FALSE(AMACREAdjustSize(nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}
