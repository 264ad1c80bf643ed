/*
 * Trace log: one line per call appended to <root>/log/trace.log
 * (ORV_TRACE_FILE replaces the path, "-" is standard error).
 * Levels: 0 detail and entry/exit, 1 errors, 2 a failed regular expression
 * compile, 3 progress. ORV_TRACE_LEVELS ("1,2,3" by default, or "all")
 * selects the levels kept. Tracing never fails its caller and leaves errno
 * alone; a null string argument shows as NULL.
 *
 * ORV_TRACE_LEVELS is read once, at a process's first trace call, so that a
 * line of a level not kept costs a few nanoseconds; a process that changes it
 * later calls TraceLogReload. The trace file's path is looked up again for
 * every line written.
 */
#ifndef QORTRACE_H
#define QORTRACE_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QORTRACE_API __attribute__((visibility("default")))
#else
#define QORTRACE_API
#endif

QORTRACE_API void TraceLog(int level, const char *source, const char *function, int line,
                           const char *format, ...) __attribute__((format(printf, 5, 6)));
/* Names the calling thread in its later lines (at most 31 characters kept). */
QORTRACE_API void TraceLogSetThrName(const char *name);
/* Reads ORV_TRACE_LEVELS again (an extension of this library). */
QORTRACE_API void TraceLogReload(void);

/*
 * An observer sees the trace calls of the levels it asks for (bit N for level
 * N), whether the line is kept or not, before it is written: the calling
 * thread's name ("" when none was set), the source, the function, the format
 * and its arguments (read them from a va_copy). It runs on the tracing thread;
 * trace calls it makes itself are written but not observed. One observer per
 * process, set before the threads it watches start and removed (null) after
 * they end (extensions of this library).
 */
typedef void (*TraceObserver)(void *context, int level, const char *thread, const char *source,
                              const char *function, const char *format, va_list args);
QORTRACE_API void TraceLogSetObserver(TraceObserver observer, void *context, unsigned levels);

#ifdef __cplusplus
}
#endif

#endif /* QORTRACE_H */
