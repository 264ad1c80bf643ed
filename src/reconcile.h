// Inner product reconciliation (internal interface of the library's modules).
#pragma once

#include <cstdint>

#include "w32compat.h"

namespace amirtupt {

// ProcAlertReport: one pass over outer and inner products; 1 when it ran to
// its end. A pass that changed anything signals "Eventlog_Mod_Event", writes
// a separator to the product link log and counts itself in *lpdwProcCnts.
int32_t procAlertReport(uint32_t *lpdwProcCnts, HANDLE start, HANDLE updating);

}  // namespace amirtupt
