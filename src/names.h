// Names the library's modules share: registry keys, settings and inner save
// parameters, named objects, language ids and copy modes.
#pragma once

#include <cstdint>

#include "w32compat.h"

namespace amirtupt {

// ---- Registry keys (names compare without regard to case) ------------------

inline constexpr char kAlertManKey[] = "SOFTWARE\\ORV\\QORAlertMan";
// One key per outer product.
inline constexpr char kProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
// The same keys as the product type readers address them.
inline constexpr char kOuterTypeKey[] = "SOFTWARE\\ORV\\AlertReport";
inline constexpr char kInnerTypeKey[] = "SOFTWARE\\ORV\\QORAlertMan\\AlertReport";

// ---- Settings under kAlertManKey and product values ------------------------

inline constexpr char kCycleSetting[] = "ReportTableTimeOut";  // milliseconds
// REG_DWORD; nonzero: a change of the report information directory also
// ends the link thread's wait for the cycle. Absent or 0: the plain cycle.
inline constexpr char kWatchSetting[] = "WatchReportDirectory";
inline constexpr char kPathNameSetting[] = "PathName";
inline constexpr char kTypeValue[] = "MANUAL";  // of an outer or inner product

// The traditional report table, under the alert manager's PathName.
inline constexpr char kTraditionalTable[] = "\\PROGRAM\\AMIREPRT.TBL";

// ---- Inner save parameters of the copy library -----------------------------

inline constexpr char kSaveReportTable[] = "ReportTable";
inline constexpr char kSaveTablePath[] = "TablePath";
inline constexpr char kSaveRegisterPath[] = "RegisterPath";
inline constexpr char kSaveRegisterSrc[] = "RegisterSrc";
inline constexpr char kSaveTraditional[] = "Traditional";

// ---- Named objects -----------------------------------------------------------

// The one lock of all registry and report table work, across processes.
inline constexpr char kEventlogSema[] = "EVENTLOG_SEMA";
inline constexpr char kStartEvent[] = "AlertManagerBeginUpdatingReportTable";
inline constexpr char kUpdatingEvent[] = "AlertManagerUpdatingReportTable";
inline constexpr char kEventlogModEvent[] = "Eventlog_Mod_Event";

// ---- Language ids -------------------------------------------------------------

inline constexpr DWORD kLanguageEnglish = 1033;   // English (United States)
inline constexpr DWORD kLanguageJapanese = 1041;  // Japanese

// ---- Copy modes of ExecRTCopy ----------------------------------------------------

enum class CopyMode : uint32_t {
    Create = 0,
    Update = 1,
    Remove = 2,
    Traditional = 3,  // any other value: the vector holds only the path
};

}  // namespace amirtupt
