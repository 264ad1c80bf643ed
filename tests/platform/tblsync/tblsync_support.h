// Helpers of the report-table copy library's tests: registry fixtures, table
// files and a dump of the report table.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "registry_probe.h"
#include "report_table.h"
#include "tblsync.h"

namespace tblsync_test {

using namespace orv_test;
using Dump = TableDump;

inline void setValue(const std::string &path, const char *name, DWORD type,
                     const std::string &data) {
    ASSERT_EQ(writeValue(path, name, type, data), ERROR_SUCCESS) << path << " " << name;
}

inline void setNumber(const std::string &path, const char *name, DWORD value) {
    ASSERT_EQ(writeDword(path, name, value), ERROR_SUCCESS) << path << " " << name;
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
