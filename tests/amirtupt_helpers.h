// Helpers shared by the report table copy, reconciliation and link thread
// tests: report table files, the report table as the registry holds it,
// inner products, the product link log and the trace log.
#pragma once

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
#include "tblsync.h"
#include "tblsync_support.h"
#include "test_files.h"
#include "w32compat.h"

namespace amirtupt_test {

inline constexpr const char kTablesDir[] = "/opt/orv/tables";
inline constexpr const char kPPLinkLog[] = "/opt/orv/log/PPLink.log";
inline constexpr const char kTraceLog[] = "/opt/orv/log/trace.log";
inline constexpr const char kStartEvent[] = "AlertManagerBeginUpdatingReportTable";
inline constexpr const char kUpdatingEvent[] = "AlertManagerUpdatingReportTable";
inline constexpr const char kEventlogEvent[] = "Eventlog_Mod_Event";
inline constexpr const char kSeparator[] =
    "------------------------------------------------------------\n";

using test_files::readFile;
using test_files::writeFile;

inline bool fileExists(const std::string &path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// Writes a report table file under /opt/orv/tables and returns its path.
inline std::string writeTable(const std::string &name, const std::string &lines) {
    ::mkdir(kTablesDir, 0755);
    std::string path = std::string(kTablesDir) + "/" + name;
    writeFile(path, lines);
    return path;
}

using tblsync_test::keyExists;
using tblsync_test::pathList;
using tblsync_test::subkeys;

// Counts the non-overlapping occurrences of needle in text.
inline size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

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
    tblsync_test::setNumber(keyPath, name, value);
}

inline void setString(const char *keyPath, const char *name, const std::string &value) {
    tblsync_test::setValue(keyPath, name, REG_SZ, value + '\0');
}

// The report table: "<source>/<id>" -> "<severity>|<text>|<owner>".
inline std::map<std::string, std::string> reportTable() {
    std::map<std::string, std::string> table;
    for (const auto &[entry, row] : tblsync_test::dumpTable()) {
        const auto &[severity, text, owner] = row;
        table[entry.substr(0, entry.find('\\')) + "/" + entry.substr(entry.find('\\') + 1)] =
            severity + "|" + text + "|" + owner;
    }
    return table;
}

// ---- Copy library ---------------------------------------------------------------

// An inner save parameter as bytes, or "<missing>".
inline std::string saveParam(const char *name) {
    std::vector<char> data(64 * 1024);
    DWORD size = static_cast<DWORD>(data.size()), type = 0;
    if (AMACRTReadInnerSaveParam(name, &size, &type, data.data()) == 0) return "<missing>";
    return std::string(data.data(), size);
}

inline void writeSaveParam(const char *name, const std::string &bytes) {
    AMACRTWriteInnerSaveParam(name, static_cast<DWORD>(bytes.size()), REG_BINARY, bytes.data());
}

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

inline uint64_t ticks(FILETIME t) {
    return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
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

// A product record as a report information file of the product would give it.
inline PPInfo makeRecord(const char *name, const char *version,
                         const std::vector<std::string> &tables, int manual = PPTYPE_AUTOMATIC) {
    PPInfo p;
    QORPPLX_PPInfoResetPP(&p);
    std::snprintf(p.ProductName, sizeof p.ProductName, "%s", name);
    std::snprintf(p.DisplayName, sizeof p.DisplayName, "%s Monitor", name);
    std::snprintf(p.LanguageID, sizeof p.LanguageID, "1033");
    std::snprintf(p.ProductID, sizeof p.ProductID, "120");
    std::snprintf(p.Version, sizeof p.Version, "%s", version);
    p.NumReportTablePath = static_cast<int32_t>(tables.size());
    for (size_t i = 0; i < tables.size() && i < PPINFO_MAX_REPORTTABLES; ++i) {
        std::snprintf(p.ReportTablePath[i], sizeof p.ReportTablePath[i], "%s", tables[i].c_str());
    }
    p.Manual = manual;
    return p;
}

// Polls until pred holds or the liveness bound passes.
inline bool eventually(const std::function<bool()> &pred,
                       std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    auto until = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

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
