// Helpers of the report-table copy library's tests: registry fixtures, table
// files and a dump of the report table.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tblsync.h"

namespace tblsync_test {

inline bool keyExists(const std::string &path) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

inline void setValue(const std::string &path, const char *name, DWORD type,
                     const std::string &data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS) << path;
    ASSERT_EQ(RegSetValueEx(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                            static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

inline void setNumber(const std::string &path, const char *name, DWORD value) {
    setValue(path, name, REG_DWORD, std::string(reinterpret_cast<const char *>(&value), 4));
}

// A value's bytes, or "<missing>".
inline std::string value(const std::string &path, const char *name) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != 0) {
        return "<missing>";
    }
    std::string data(65536, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    LONG rc =
        RegQueryValueEx(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data.data()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "<missing>";
    data.resize(size);
    return data;
}

inline std::vector<std::string> subkeys(const std::string &path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != 0) return names;
    char name[1024];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumKeyEx(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != 0) break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

// (severity, text, owner) per "source\id", texts without their NUL.
using Dump = std::map<std::string, std::tuple<std::string, std::string, std::string>>;

inline std::string text(const std::string &bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

inline Dump dumpTable() {
    Dump dump;
    const std::string root = TBLSYNC_KEY_REPORTTABLE;
    for (const std::string &source : subkeys(root)) {
        for (const std::string &id : subkeys(root + "\\" + source)) {
            std::string path = root + "\\" + source + "\\" + id;
            dump[source + "\\" + id] = {text(value(path, "Severity")), text(value(path, "Text")),
                                        text(value(path, "Owner"))};
        }
    }
    return dump;
}

inline std::string writeFile(const std::string &name, const std::string &content) {
    std::string path = "/opt/orv/tables/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// A NUL-separated list ended by an empty string.
inline std::string pathList(const std::vector<std::string> &paths) {
    std::string list;
    for (const std::string &path : paths) list += path + '\0';
    return list + '\0';
}

inline void setSaveParam(const char *name, const std::string &data) {
    ASSERT_TRUE(
        AMACRTWriteInnerSaveParam(name, static_cast<DWORD>(data.size()), REG_BINARY, data.data()));
}

inline std::string saveParam(const char *name) {
    return value(TBLSYNC_KEY_SAVEPARAM, name);
}

// Runs RTCopy with the vector the library builds.
inline int copy(std::vector<void *> argv) {
    RTCopyRequest request{};
    request.qwSize = sizeof request;
    request.dwPriority = 100;
    request.dwArgc = static_cast<DWORD>(argv.size());
    argv.push_back(nullptr);
    request.lppArgv = argv.data();
    return RTCopy(&request, 0);
}

inline void *arg(const char *text) {
    return const_cast<char *>(text);
}

inline int create(const char *product, const std::vector<std::string> &files) {
    setSaveParam("ReportTable", pathList(files));
    return copy({arg("CREATE"), arg(product)});
}

inline int update(const char *product, const std::vector<std::string> &files,
                  RTCOPY_CHANGE_CALLBACK callback) {
    setSaveParam("ReportTable", pathList(files));
    return copy({arg("UPDATE"), reinterpret_cast<void *>(callback), arg(product)});
}

inline int remove(const char *product, const std::string &sources) {
    std::string data = sources;
    data.resize(508, '\0');
    setSaveParam("ReportTable", data);
    return copy({arg("REMOVE"), arg(product)});
}

class TblsyncIsolated : public ::testing::Test {
  protected:
    void SetUp() override {
        // Each case runs in its own mount namespace with a fresh /opt.
        ASSERT_EQ(system("mkdir -p /opt/orv/tables"), 0);
    }
};

}  // namespace tblsync_test
