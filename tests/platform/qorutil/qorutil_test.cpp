// Utility library: the root directory and the pass-through code conversion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qorutil.h"

namespace {

TEST(GetQorRootPath, DefaultAndRelocatedRoot) {
    // nullptr: unset; an empty value counts as not set.
    for (const char *root : {static_cast<const char *>(nullptr), "", "/srv/agent"}) {
        char buffer[512];
        root ? setenv("ORV_ROOT", root, 1) : unsetenv("ORV_ROOT");
        const std::string want = root && *root ? root : "/opt/orv";
        EXPECT_EQ(GetQorRootPath(buffer, sizeof buffer), static_cast<int>(want.size()));
        EXPECT_EQ(buffer, want);
    }
    unsetenv("ORV_ROOT");
}

TEST(GetQorRootPath, RootThatDoesNotFitGivesZeroAndLeavesTheBuffer) {
    std::string root(40, 'r');
    setenv("ORV_ROOT", root.c_str(), 1);
    char buffer[41];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetQorRootPath(buffer, 40), 0);  // 40 characters need 41 bytes
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(GetQorRootPath(buffer, 41), 40);
    EXPECT_EQ(GetQorRootPath(nullptr, 41), 0);
    EXPECT_EQ(GetQorRootPath(buffer, 0), 0);
    unsetenv("ORV_ROOT");
}

TEST(QorCodeConvert, CopiesBytesUnchangedAndCutsToTheDestination) {
    struct Case {
        const char *src;
        int srcLen;
        int dstSize;
        const char *want;
    };
    const Case cases[] = {
        {"Product \"A\" exist\n", -1, 1024, "Product \"A\" exist\n"},
        {"\x82\xa0\x8a\xbf", -1, 16, "\x82\xa0\x8a\xbf"},  // Shift_JIS bytes pass as they are
        {"abcdef", 3, 16, "abc"},
        {"abcdef", -1, 4, "abc"},
        {"abcdef", -1, 1, ""},
        {"", -1, 8, ""},
    };
    for (const Case &c : cases) {
        char dst[1024];
        std::memset(dst, 'Z', sizeof dst);
        int n = QorCodeConvert(c.src, c.srcLen, dst, c.dstSize, 0, 1);
        EXPECT_STREQ(dst, c.want) << c.src;
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.want))) << c.src;
    }
}

}  // namespace
