// Product records as a setup tool or a report information file fills them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "amirtupt.h"

namespace orv_test {

// A reset record with the given registration fields; the display name
// defaults to "<name> display".
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

}  // namespace orv_test
