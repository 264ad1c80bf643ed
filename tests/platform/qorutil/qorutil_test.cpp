// Utility library: the root directory. The code conversion is checked
// through its caller, the product messages cut at 1022 characters.
#include <gtest/gtest.h>

#include <cstring>

#include "qorutil.h"

// An unset or empty ORV_ROOT means the default; a root that does not fit
// with its NUL gives 0 and leaves the buffer alone.
TEST(GetQorRootPath, RootIsCopiedWhenItFitsWithItsNul) {
    const std::string forty(40, 'r');
    // An empty want: 0 and the buffer untouched.
    const std::tuple<const char *, int, std::string> cases[] = {
        {nullptr, 9, "/opt/orv"},   {"", 9, "/opt/orv"},     {nullptr, 8, ""},
        {forty.c_str(), 41, forty}, {forty.c_str(), 40, ""}, {"/a", 0, ""}};
    for (const auto &[root, size, want] : cases) {
        root ? setenv("ORV_ROOT", root, 1) : unsetenv("ORV_ROOT");
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(GetQorRootPath(buffer, size), static_cast<int>(want.size())) << size;
        EXPECT_EQ(std::string(buffer, want.size() + 1), want.empty() ? "#" : want + '\0');
    }
    EXPECT_EQ(GetQorRootPath(nullptr, 41), 0);
}
