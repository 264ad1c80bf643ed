// Helpers of the library's tests: records and lists, inner products and the
// report table as the registry holds them, the product link log and the
// trace log.
#pragma once

// The support headers bring the standard and system headers they use.
#include <atomic>
#include <future>
#include <memory>

#include "files.h"
#include "process.h"
#include "qortrace.h"
#include "records.h"
#include "report_table.h"
#include "wait.h"

namespace lib_test {

using namespace orv_test;

inline constexpr const char kInfDir[] = QORPPLX_REPORT_INF_DIR;
inline constexpr const char kPPLinkLog[] = "/opt/orv/log/PPLink.log";
inline constexpr const char kTraceLog[] = "/opt/orv/log/trace.log";
inline constexpr const char kTraceFile[] = "/opt/orv/log/test-trace.log";
inline constexpr const char kStartEvent[] = "AlertManagerBeginUpdatingReportTable";
inline constexpr const char kUpdatingEvent[] = "AlertManagerUpdatingReportTable";
inline constexpr const char kSeparator[] =
    "------------------------------------------------------------\n";

using Table = std::map<std::string, std::string>;

// A record the library allocated, freed with it.
struct FreeRecord {
    void operator()(PPInfo *p) const { std::free(p); }
};
using Record = std::unique_ptr<PPInfo, FreeRecord>;

// A heap record as the list operations expect it, reset and named.
inline PPInfo *newRecord(const char *productName, int op = PPOP_NONE) {
    auto *p = static_cast<PPInfo *>(std::malloc(sizeof(PPInfo)));
    if (p == nullptr) std::abort();
    QORPPLX_PPInfoResetPP(p);
    std::snprintf(p->ProductName, sizeof p->ProductName, "%s", productName);
    p->op = op;
    return p;
}

// Registers a product key for a record of these values.
inline void registered(const std::string &name, const std::string &version,
                       const std::vector<std::string> &tables, int manual = PPTYPE_MANUAL) {
    PPInfo record = makeRecord(name, version, tables, manual);
    ASSERT_EQ(registerPP(&record), 0) << name;
}

inline std::vector<std::string> tablesOf(const PPInfo &p) {
    std::vector<std::string> tables;
    for (int i = 0; i < p.NumReportTablePath; ++i) tables.emplace_back(p.ReportTablePath[i]);
    return tables;
}

// A record's registration fields as "name|display|language|id|version|table,...".
inline std::string fieldsOf(const PPInfo &p) {
    std::string text = std::string(p.ProductName) + "|" + p.DisplayName + "|" + p.LanguageID + "|" +
                       p.ProductID + "|" + p.Version + "|";
    for (int i = 0; i < p.NumReportTablePath; ++i)
        text += (i ? "," : "") + std::string(p.ReportTablePath[i]);
    return text;
}

inline std::vector<std::string> namesOf(const PPInfo *head) {
    std::vector<std::string> names;
    for (; head != nullptr; head = head->next) names.emplace_back(head->ProductName);
    return names;
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

inline void setDword(const std::string &keyPath, const char *name, DWORD value) {
    ASSERT_EQ(writeDword(keyPath, name, value), ERROR_SUCCESS) << keyPath << " " << name;
}

// The report table: "<source>/<id>" -> "<severity>|<text>|<owner>".
inline Table reportTable() {
    Table table;
    for (const auto &[entry, row] : dumpTable()) {
        const auto &[severity, text, owner] = row;
        size_t cut = entry.find('\\');
        table[entry.substr(0, cut) + "/" + entry.substr(cut + 1)] =
            severity + "|" + text + "|" + owner;
    }
    return table;
}

// Event ids of the report table entries of one source owned by a product.
inline std::vector<std::string> ownedEntries(const std::string &source, const std::string &owner) {
    std::vector<std::string> ids;
    for (const auto &[entry, row] : reportTable()) {
        if (entry.rfind(source + "/", 0) == 0 && row.substr(row.rfind('|') + 1) == owner) {
            ids.push_back(entry.substr(source.size() + 1));
        }
    }
    return ids;
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

// The product link log from byte `from` on.
inline std::string pplinkLog(size_t from = 0) {
    std::string text = readFile(kPPLinkLog);
    return text.substr(std::min(from, text.size()));
}

// Every key from `path` down with its values, one line each, in enumeration
// order; the data of "ProductTime" (the time of the write) left out.
inline std::string registryTree(const std::string &path) {
    std::string tree = keyExists(path) ? path + "\n" : "";
    for (const std::string &name : valueNames(path)) {
        auto value = name == "ProductTime" ? std::nullopt : readValue(path, name.c_str());
        tree += "  " + name + " " +
                (value ? std::to_string(value->type) + " " + value->bytes : "") + "\n";
    }
    for (const std::string &child : subkeys(path)) tree += registryTree(path + "\\" + child);
    return tree;
}

// Sends every trace line of the process to a file of its own.
inline void traceToFile() {
    ::unlink(kTraceFile);
    ::setenv("ORV_TRACE_FILE", kTraceFile, 1);
    ::setenv("ORV_TRACE_LEVELS", "all", 1);
    ::TraceLogReload();
}

// Trace lines in `file` from byte `from` on that carry `tag` (as " <level>
// <module>:<function>:" or " <thread> <level> ") and `text`.
inline size_t tracedCount(const std::string &file, size_t from, const std::string &tag,
                          const std::string &text) {
    std::string log = readFile(file);
    std::istringstream lines(log.size() > from ? log.substr(from) : std::string());
    size_t n = 0;
    for (std::string line; std::getline(lines, line);) {
        n += line.find(tag) != std::string::npos && line.find(text) != std::string::npos;
    }
    return n;
}

}  // namespace lib_test

using namespace lib_test;
