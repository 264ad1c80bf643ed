// The product link log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "records_helpers.h"

namespace {

using records_test::exists;
using records_test::readFile;
using records_test::writeFile;

const std::string kLog = "/opt/orv/log/PPLink.log";

TEST(PPLog, FileIsCreatedAndEmptiedOnlyPastTheBound) {
    ASSERT_FALSE(exists(kLog));
    pplognotime("first\n");
    pplognotime("second\n");
    EXPECT_EQ(readFile(kLog), "first\nsecond\n");

    struct Case {
        size_t before;
        bool emptied;
    } cases[] = {{0, false}, {49999, false}, {50000, false}, {50001, true}, {200000, true}};
    for (const Case &c : cases) {
        std::string old(c.before, 'x');
        writeFile(kLog, old);
        pplognotime("entry %d %s\n", 7, "seven");
        EXPECT_EQ(readFile(kLog), (c.emptied ? "" : old) + "entry 7 seven\n") << c.before;
    }
}

TEST(PPLog, StampIsLocalTimeWithoutLeadingZeros) {
    // A zone in which the local hour is a single digit now.
    time_t now = std::time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    std::string zone = "ORV" + std::to_string(utc.tm_hour - 5);
    ASSERT_EQ(setenv("TZ", zone.c_str(), 1), 0);
    tzset();

    time_t before = std::time(nullptr);
    pplog("Install product: %s\n", "Alpha");
    time_t after = std::time(nullptr);

    std::smatch m;
    std::string text = readFile(kLog);
    const std::regex stamp(
        "(1[0-2]|[1-9])/(3[01]|[12][0-9]|[1-9]) (2[0-3]|1[0-9]|[0-9]):([1-5][0-9]|[0-9]):"
        "([1-5][0-9]|[0-9]) Install product: Alpha\n");
    ASSERT_TRUE(std::regex_match(text, m, stamp)) << text;
    auto matches = [&](time_t t) {
        tm local{};
        localtime_r(&t, &local);
        return std::stoi(m[1]) == local.tm_mon + 1 && std::stoi(m[2]) == local.tm_mday &&
               std::stoi(m[3]) == local.tm_hour && std::stoi(m[4]) == local.tm_min &&
               std::stoi(m[5]) == local.tm_sec;
    };
    EXPECT_TRUE(matches(before) || matches(after)) << text;
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
    struct Case {
        size_t rootLength;
        bool written;
    } cases[] = {{496, true}, {497, false}, {700, false}};
    for (const Case &c : cases) {
        std::string root = rootOfLength(c.rootLength);
        ASSERT_EQ(root.size(), c.rootLength);
        ASSERT_EQ(setenv("ORV_ROOT", root.c_str(), 1), 0);
        pplog("stamped\n");
        pplognotime("plain\n");
        std::string log = root + "/log/PPLink.log";
        EXPECT_EQ(exists(log), c.written) << c.rootLength;
        if (c.written) {
            EXPECT_NE(readFile(log).find("plain\n"), std::string::npos);
        }
    }
    EXPECT_FALSE(exists(kLog));

    // A root without log directory loses the entry silently.
    ASSERT_TRUE(std::filesystem::create_directories("/opt/bare"));
    ASSERT_EQ(setenv("ORV_ROOT", "/opt/bare", 1), 0);
    ASSERT_EQ(setenv("ORV_TRACE_FILE", "/opt/trace.log", 1), 0);  // it would make log/
    pplog("lost %d\n", 1);
    pplognotime("lost\n");
    EXPECT_FALSE(exists("/opt/bare/log"));
}

}  // namespace
