// What the report-table copy library keeps in the registry: its save
// parameters and the report table, read directly from the registry.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "registry_probe.h"
#include "tblsync.h"

namespace orv_test {

// A NUL-separated list ended by an empty string, as the save parameters hold paths.
inline std::string pathList(const std::vector<std::string> &paths) {
    std::string list;
    for (const std::string &path : paths) list += path + '\0';
    return list + '\0';
}

// An inner product save parameter's bytes, or "<missing>".
inline std::string saveParam(const char *name) {
    auto value = readValue(TBLSYNC_KEY_SAVEPARAM, name);
    return value ? value->bytes : "<missing>";
}

// Stores a save parameter through the copy library, as its callers do.
inline void setSaveParam(const char *name, const std::string &bytes) {
    ASSERT_TRUE(
        AMACRTWriteInnerSaveParam(name, static_cast<DWORD>(bytes.size()), REG_BINARY, bytes.data()))
        << name;
}

// (severity, text, owner) per "source\id", texts without their NUL.
using TableDump = std::map<std::string, std::tuple<std::string, std::string, std::string>>;

inline TableDump dumpTable() {
    TableDump dump;
    const std::string root = TBLSYNC_KEY_REPORTTABLE;
    for (const std::string &source : subkeys(root)) {
        for (const std::string &id : subkeys(root + "\\" + source)) {
            std::string path = root + "\\" + source + "\\" + id;
            dump[source + "\\" + id] = {readText(path, "Severity", "<missing>"),
                                        readText(path, "Text", "<missing>"),
                                        readText(path, "Owner", "<missing>")};
        }
    }
    return dump;
}

}  // namespace orv_test
