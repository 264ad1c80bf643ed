// Tracing helpers of the library's modules. Each module defines
// kTraceSource ("ppinfo", "repfile", "product", "amirtupt") before using them.
#pragma once

#include "qortrace.h"
#include "trace_levels.h"
#include "w32compat.h"

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

// Traces a function's exit once, whichever return it leaves by: the line is
// written when the scope ends, with the value `result` holds then. Declared
// right after the entry trace with TRACE_EXIT (or TRACE_EXIT_AS).
template <class Result>
class ExitTrace {
  public:
    ExitTrace(const char *source, const char *function, int line, const char *format,
              const Result &result) noexcept
        : source_(source), function_(function), line_(line), format_(format), result_(result) {}
    ~ExitTrace() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        ::TraceLog(kDetail, source_, function_, line_, format_, result_);
#pragma GCC diagnostic pop
    }
    ExitTrace(const ExitTrace &) = delete;
    ExitTrace &operator=(const ExitTrace &) = delete;

  private:
    const char *source_;
    const char *function_;
    int line_;
    const char *format_;
    const Result &result_;
};

#define TRACE_EXIT(format, result) \
    ::amirtupt::ExitTrace exitTrace_(kTraceSource, __func__, __LINE__, (format), (result))
#define TRACE_EXIT_AS(function, format, result) \
    ::amirtupt::ExitTrace exitTrace_(kTraceSource, (function), __LINE__, (format), (result))

// A registry key of the compatibility layer, closed when its holder goes.
class RegKey {
  public:
    RegKey() = default;
    ~RegKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    HKEY get() const { return key_; }
    HKEY *out() { return &key_; }  // for the call that opens it

  private:
    HKEY key_ = nullptr;
};

// A string argument for a trace line, "NULL" when it is absent.
inline const char *orNull(const char *s) {
    return s != nullptr ? s : "NULL";
}

}  // namespace amirtupt
