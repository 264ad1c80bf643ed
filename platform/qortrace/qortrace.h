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

#ifdef __cplusplus
}
#endif

#endif /* QORTRACE_H */
