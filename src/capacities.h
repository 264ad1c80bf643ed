// Buffer capacities of the records the library exchanges with the
// report-table copy library.
#pragma once

#include "w32compat.h"

namespace amirtupt {

// A value whose length is not known in advance is read into this many bytes
// first, and again into a block of its own length when it did not fit.
inline constexpr DWORD kFirstReadSize = 508;
inline constexpr DWORD kNameCapacity = 4097;        // product and display names
inline constexpr DWORD kReportTableCapacity = 254;  // report table lists, registered paths
inline constexpr DWORD kVersionCapacity = 32;

}  // namespace amirtupt
