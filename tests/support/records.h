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
    auto put = [](auto &field, const std::string &text) {
        std::snprintf(field, sizeof field, "%s", text.c_str());
    };
    put(record.ProductName, name), put(record.Version, version), put(record.LanguageID, language);
    put(record.ProductID, productId);
    put(record.DisplayName, displayName.empty() ? name + " display" : displayName);
    record.NumReportTablePath = static_cast<int32_t>(tables.size());
    for (size_t i = 0; i < tables.size() && i < PPINFO_MAX_REPORTTABLES; ++i)
        put(record.ReportTablePath[i], tables[i]);
    record.Manual = manual;
    return record;
}

}  // namespace orv_test
