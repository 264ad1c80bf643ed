// Helpers shared by the product registry, command and concurrency tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "amirtupt.h"
#include "files.h"
#include "process.h"
#include "qortrace.h"
#include "records.h"
#include "registry_probe.h"
#include "tblsync.h"
#include "w32compat.h"

namespace product_test {

inline constexpr const char kProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
inline constexpr const char kInnerKey[] = "SOFTWARE\\ORV\\QORAlertMan\\AlertReport";
inline constexpr const char kAlertManKey[] = "SOFTWARE\\ORV\\QORAlertMan";
inline constexpr const char kReportTableKey[] = "SOFTWARE\\ORV\\QORAlertMan\\ReportTable";
inline constexpr const char *kTableDir = orv_test::kTablesDir;
inline constexpr const char kTraceFile[] = "/opt/orv/log/test-trace.log";

using namespace orv_test;

// A report information file of a product at `path`; returns the path.
inline std::string writeInformationFile(const std::string &path, const std::string &product,
                                        const std::string &version, const std::string &table) {
    return writeProduct(path, product, version, table, /*language=*/"J", /*productId=*/"31");
}

inline void writeNumber(const std::string &keyPath, const char *name, DWORD number) {
    ASSERT_EQ(writeDword(keyPath, name, number), ERROR_SUCCESS) << keyPath << " " << name;
}

// Every key from `path` down with its values, one line each, in enumeration
// order, non-printable bytes escaped. The data of "ProductTime" (the time of
// the write, different from run to run) is left out.
inline std::string registryTree(const std::string &path) {
    Key key(path);
    if (!key) return "";
    std::string tree = path + "\n";
    char name[1024];
    std::string data(65536, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name, type = 0, size = static_cast<DWORD>(data.size());
        if (RegEnumValue(key.get(), i, name, &length, nullptr, &type,
                         reinterpret_cast<BYTE *>(data.data()), &size) != ERROR_SUCCESS) {
            break;
        }
        tree += "  " + std::string(name, length) + " " + std::to_string(type) + " ";
        if (std::strcmp(name, "ProductTime") == 0) size = 0;
        for (unsigned char c : data.substr(0, size)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
            tree += escaped;
        }
        tree += "\n";
    }
    for (const std::string &child : subkeys(path)) tree += registryTree(path + "\\" + child);
    return tree;
}

// Event ids of the report table entries of one source owned by a product.
inline std::vector<std::string> ownedEntries(const std::string &source, const std::string &owner) {
    std::vector<std::string> ids;
    std::string sourceKey = std::string(kReportTableKey) + "\\" + source;
    for (const std::string &id : subkeys(sourceKey)) {
        auto value = readValue(sourceKey + "\\" + id, "Owner");
        if (value && std::string(value->bytes.c_str()) == owner) ids.push_back(id);
    }
    return ids;
}

// Sends every trace line of the process to a file of its own.
inline void traceToFile() {
    ::unlink(kTraceFile);
    ::setenv("ORV_TRACE_FILE", kTraceFile, 1);
    ::setenv("ORV_TRACE_LEVELS", "all", 1);
    ::TraceLogReload();
}

// True when a trace line of the given level and function carries the text.
inline bool tracedLine(int level, const std::string &function, const std::string &text) {
    std::istringstream lines(readFile(kTraceFile));
    std::string line;
    std::string where = " " + std::to_string(level) + " product:" + function + ":";
    while (std::getline(lines, line)) {
        if (line.find(where) != std::string::npos && line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace product_test
