// Tracing helpers of the library's modules. Each module defines
// kTraceSource ("ppinfo", "repfile", "product", "amirtupt") before using them.
#pragma once

#include "qortrace.h"
#include "trace_levels.h"

// A trace line under the calling function's own name.
#define TRACE(level, ...) ::TraceLog((level), kTraceSource, __func__, __LINE__, __VA_ARGS__)

// A trace line under an explicit function name, for the internal helpers that
// trace under a name of their own (an exported name, a routine of the reader).
#define TRACE_AS(function, level, ...) \
    ::TraceLog((level), kTraceSource, (function), __LINE__, __VA_ARGS__)

namespace amirtupt {

// Trace levels.
using orv::trace::kDetail;
using orv::trace::kError;
using orv::trace::kProgress;
using orv::trace::kRegex;

// A string argument for a trace line, "NULL" when it is absent.
inline const char *orNull(const char *s) {
    return s != nullptr ? s : "NULL";
}

}  // namespace amirtupt
