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
#include "tblsync.h"
#include "test_files.h"
#include "qortrace.h"
#include "w32compat.h"

namespace product_test {

inline constexpr const char kProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
inline constexpr const char kInnerKey[] = "SOFTWARE\\ORV\\QORAlertMan\\AlertReport";
inline constexpr const char kAlertManKey[] = "SOFTWARE\\ORV\\QORAlertMan";
inline constexpr const char kReportTableKey[] = "SOFTWARE\\ORV\\QORAlertMan\\ReportTable";
inline constexpr const char kTableDir[] = "/opt/orv/tables";
inline constexpr const char kTraceFile[] = "/opt/orv/log/test-trace.log";

using test_files::readFile;
using test_files::writeFile;

// A report table file under /opt/orv/tables with one entry per event id of
// the given source; returns its path.
inline std::string writeTable(const std::string &name, const std::string &source, int firstId,
                              int count) {
    ::mkdir(kTableDir, 0755);
    std::string path = std::string(kTableDir) + "/" + name;
    std::string text;
    for (int id = firstId; id < firstId + count; ++id) {
        text += source + "," + std::to_string(id) + ",INFO,event " + std::to_string(id) + "\n";
    }
    writeFile(path, text);
    return path;
}

// A report information file of a product at `path`; returns the path.
inline std::string writeInformationFile(const std::string &path, const std::string &product,
                                        const std::string &version, const std::string &table) {
    writeFile(path, "ProductName=\"" + product + "\"\nDisplayName=\"" + product +
                        " Monitor\"\nLanguageID=\"J\"\nProductID=31\nVersion=\"" + version +
                        "\"\nReportTableName=\"" + table + "\"\n");
    return path;
}

// A record as a setup tool fills it.
inline PPInfo makeRecord(const std::string &name, const std::string &version,
                         const std::vector<std::string> &tables, int manual = PPTYPE_MANUAL,
                         const std::string &language = "1033", const std::string &productId = "7",
                         const std::string &displayName = "") {
    PPInfo record;
    QORPPLX_PPInfoResetPP(&record);
    std::snprintf(record.ProductName, sizeof record.ProductName, "%s", name.c_str());
    std::snprintf(record.Version, sizeof record.Version, "%s", version.c_str());
    std::snprintf(record.LanguageID, sizeof record.LanguageID, "%s", language.c_str());
    std::snprintf(record.ProductID, sizeof record.ProductID, "%s", productId.c_str());
    std::snprintf(record.DisplayName, sizeof record.DisplayName, "%s",
                  (displayName.empty() ? name + " display" : displayName).c_str());
    record.NumReportTablePath = static_cast<int32_t>(tables.size());
    for (size_t i = 0; i < tables.size() && i < PPINFO_MAX_REPORTTABLES; ++i) {
        std::snprintf(record.ReportTablePath[i], sizeof record.ReportTablePath[i], "%s",
                      tables[i].c_str());
    }
    record.Manual = manual;
    return record;
}

// An open registry key, closed when it goes out of scope.
class Key {
  public:
    explicit Key(const std::string &path, bool create = false) {
        if (create) {
            DWORD disposition = 0;
            RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &key_, &disposition);
        } else {
            RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key_);
        }
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

inline bool keyExists(const std::string &path) {
    return static_cast<bool>(Key(path));
}

struct Value {
    DWORD type = 0;
    std::string bytes;
};

inline std::optional<Value> readValue(const std::string &keyPath, const char *name) {
    Key key(keyPath);
    DWORD type = 0;
    std::string bytes(65536, '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    if (!key || RegQueryValueEx(key.get(), name, nullptr, &type,
                                reinterpret_cast<BYTE *>(bytes.data()), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    bytes.resize(size);
    return Value{type, bytes};
}

inline std::optional<DWORD> readNumber(const std::string &keyPath, const char *name) {
    auto value = readValue(keyPath, name);
    if (!value || value->bytes.size() != sizeof(DWORD)) return std::nullopt;
    DWORD number = 0;
    std::memcpy(&number, value->bytes.data(), sizeof number);
    return number;
}

inline void writeValue(const std::string &keyPath, const char *name, DWORD type,
                       const std::string &bytes) {
    Key key(keyPath, /*create=*/true);
    ASSERT_TRUE(key) << keyPath;
    ASSERT_EQ(RegSetValueEx(key.get(), name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                            static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

inline void writeNumber(const std::string &keyPath, const char *name, DWORD number) {
    writeValue(keyPath, name, REG_DWORD, std::string(reinterpret_cast<const char *>(&number), 4));
}

// The subkey names of a key, or its value names, in enumeration order.
inline std::vector<std::string> subkeys(const std::string &path, bool valueNames = false) {
    std::vector<std::string> names;
    Key key(path);
    char name[1024];
    for (DWORD i = 0, length = sizeof name; key; ++i, length = sizeof name) {
        if ((valueNames
                 ? RegEnumValue(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr)
                 : RegEnumKeyEx(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr)) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
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

inline std::string productKey(const std::string &name) {
    return std::string(kProductsKey) + "\\" + name;
}

inline std::string innerKey(const std::string &name) {
    return std::string(kInnerKey) + "\\" + name;
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

// What a child holding "EVENTLOG_SEMA" does next: release it after 300 ms
// (writing /opt/orv/released first), die holding it, or wait to be killed.
enum class Holder { Release, Die, Wait };

// Forks a child that takes "EVENTLOG_SEMA"; returns its pid once it holds the
// mutex, or -1.
inline pid_t holdCommandMutex(Holder then) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed
        ::close(fds[0]);
        void *mutex = EnterMutex("EVENTLOG_SEMA", INFINITE);
        char ready = mutex != nullptr ? 'y' : 'n';
        if (::write(fds[1], &ready, 1) != 1) ::_exit(2);
        if (then == Holder::Die) ::raise(SIGKILL);
        if (then == Holder::Wait) ::pause();
        ::usleep(300 * 1000);
        writeFile("/opt/orv/released", "released");
        OutMutex(mutex);
        ::_exit(0);
    }
    ::close(fds[1]);
    char ready = 0;
    bool held = ::read(fds[0], &ready, 1) == 1 && ready == 'y';
    ::close(fds[0]);
    if (!held && pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return held ? pid : -1;
}

}  // namespace product_test
