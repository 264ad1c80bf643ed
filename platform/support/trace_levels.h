// The trace log's levels: categories, not severities.
#pragma once

namespace orv::trace {

inline constexpr int kDetail = 0;    // detail, and every function's entry and exit
inline constexpr int kError = 1;     // errors
inline constexpr int kRegex = 2;     // a regular expression that failed to compile
inline constexpr int kProgress = 3;  // progress

}  // namespace orv::trace
