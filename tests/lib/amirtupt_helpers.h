// Helpers shared by the report table copy, reconciliation and link thread
// tests: report table files, the report table as the registry holds it,
// inner products, the product link log and the trace log.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "amirtupt.h"
#include "files.h"
#include "records.h"
#include "registry_probe.h"
#include "report_table.h"
#include "tblsync.h"
#include "w32compat.h"
#include "wait.h"

namespace amirtupt_test {

inline constexpr const char kPPLinkLog[] = "/opt/orv/log/PPLink.log";
inline constexpr const char kTraceLog[] = "/opt/orv/log/trace.log";
inline constexpr const char kStartEvent[] = "AlertManagerBeginUpdatingReportTable";
inline constexpr const char kUpdatingEvent[] = "AlertManagerUpdatingReportTable";
inline constexpr const char kEventlogEvent[] = "Eventlog_Mod_Event";
inline constexpr const char kSeparator[] =
    "------------------------------------------------------------\n";

using namespace orv_test;

// True when the needles occur in text in the given order.
inline bool inOrder(const std::string &text, const std::vector<std::string> &needles) {
    size_t at = 0;
    for (const auto &n : needles) {
        at = text.find(n, at);
        if (at == std::string::npos) return false;
        at += n.size();
    }
    return true;
}

// ---- Registry ---------------------------------------------------------------

inline void setDword(const char *keyPath, const char *name, DWORD value) {
    ASSERT_EQ(writeDword(keyPath, name, value), ERROR_SUCCESS) << keyPath << " " << name;
}

inline void setString(const char *keyPath, const char *name, const std::string &value) {
    ASSERT_EQ(writeText(keyPath, name, value), ERROR_SUCCESS) << keyPath << " " << name;
}

// The report table: "<source>/<id>" -> "<severity>|<text>|<owner>".
inline std::map<std::string, std::string> reportTable() {
    std::map<std::string, std::string> table;
    for (const auto &[entry, row] : dumpTable()) {
        const auto &[severity, text, owner] = row;
        table[entry.substr(0, entry.find('\\')) + "/" + entry.substr(entry.find('\\') + 1)] =
            severity + "|" + text + "|" + owner;
    }
    return table;
}

// ---- Copy library ---------------------------------------------------------------

inline DWORD traditionalFlag() {
    DWORD value = 0xFFFFFFFF, size = sizeof value, type = 0;
    if (AMACRTReadInnerSaveParam("Traditional", &size, &type, &value) == 0) return 0xFFFFFFFF;
    return value;
}

inline bool innerExists(const char *name) {
    DWORD exists = 0;
    return AMACRTCheckInnerProduct(name, &exists) != 0 && exists != 0;
}

inline bool outerExists(const char *name) {
    DWORD exists = 0;
    return AMACRTCheckProduct(name, &exists) != 0 && exists != 0;
}

inline InnerProductParam innerBlock() {
    InnerProductParam block{};
    block.dwSize = sizeof block;
    return block;
}

// The inner product's source data as bytes, or "<unreadable>".
inline std::string innerSource(const char *name) {
    std::string data(64 * 1024, '\0');
    InnerProductParam block = innerBlock();
    block.dwSourceSize = static_cast<DWORD>(data.size());
    block.lpSource = reinterpret_cast<LPBYTE>(data.data());
    if (AMACRTReadInnerProductParam(0, name, &block) == 0) return "<unreadable>";
    return data.substr(0, block.dwSourceSize);
}

inline bool setInnerSource(const char *name, std::string bytes) {
    InnerProductParam block = innerBlock();
    block.dwSourceSize = static_cast<DWORD>(bytes.size());
    block.lpSource = reinterpret_cast<LPBYTE>(bytes.data());
    return AMACRTWriteInnerProductParam(1, name, &block) != 0;
}

inline FILETIME fromTicks(uint64_t v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// The time stored with the inner product and the outer product's key time.
inline uint64_t innerTime(const char *name) {
    FILETIME t{0xFFFFFFFF, 0xFFFFFFFF};
    InnerProductParam block = innerBlock();
    block.lpProductTime = &t;
    AMACRTReadInnerProductParam(0, name, &block);
    return ticks(t);
}

inline uint64_t productTime(const char *name) {
    FILETIME t{};
    AMACRTGetProductTime(name, &t);
    return ticks(t);
}

// ---- Products -----------------------------------------------------------------------

// The product link log from byte `from` on, without the time stamps of its
// entries ("M/D H:M:S " before timed entries).
inline std::string pplinkLog(size_t from = 0) {
    std::string text = readFile(kPPLinkLog), out;
    std::istringstream lines(text.erase(0, std::min(from, text.size())));
    std::string line;
    while (std::getline(lines, line)) {
        unsigned mo, d, h, mi, s;
        int used = 0;
        if (std::sscanf(line.c_str(), "%u/%u %u:%u:%u %n", &mo, &d, &h, &mi, &s, &used) == 5 &&
            used > 0) {
            line.erase(0, static_cast<size_t>(used));
        }
        out.append(line).push_back('\n');
    }
    return out;
}

}  // namespace amirtupt_test
