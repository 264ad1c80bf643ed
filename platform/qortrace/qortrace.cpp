// Trace log of the agent.
//
// One line per call:
//   2026-12-05 16:39:06.123 <thread> <level> <source>:<function>:<line> <message>
// appended with a single write(2) to a file opened with O_APPEND, so lines of
// several threads and processes never interleave. The file is
// <root>/log/trace.log (root: ORV_ROOT or /opt/orv; ORV_TRACE_FILE replaces the
// path, "-" means standard error). Past 10 MB it is renamed to trace.log.1 and
// a new one is started.
#include "qortrace.h"

#include "agent_root.h"
#include "file_access.h"
#include "text_escape.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace {

constexpr off_t kRotateSize = off_t{10} * 1024 * 1024;
constexpr size_t kMaxLine = 8192;
constexpr int kDefaultLevels = (1 << 1) | (1 << 2) | (1 << 3);
constexpr int kMaxLevel = 30;
constexpr int kAllLevels = 0x7FFFFFFF;  // levels 0 to 30

// Bit i set: level i is kept. ORV_TRACE_LEVELS is a comma list or "all".
int parseLevels() {
    const char *levels = std::getenv("ORV_TRACE_LEVELS");
    if (levels == nullptr || *levels == '\0') return kDefaultLevels;
    if (std::strcmp(levels, "all") == 0) return kAllLevels;
    int mask = 0;
    const char *p = levels;
    while (*p != '\0') {
        char *end = nullptr;
        long level = std::strtol(p, &end, 10);
        if (end == p) {
            ++p;  // skip a separator or a stray character
            continue;
        }
        if (level >= 0 && level <= kMaxLevel) mask |= 1 << level;
        p = end;
    }
    return mask;
}

// The levels kept, read at the first call and by TraceLogReload. Level bits
// never reach the sign bit, which marks "not read yet".
constexpr int kUnread = -1;
std::atomic<int> cachedLevels{kUnread};

int keptLevels() {
    int levels = cachedLevels.load(std::memory_order_relaxed);
    if (levels == kUnread) {
        levels = parseLevels();
        cachedLevels.store(levels, std::memory_order_relaxed);
    }
    return levels;
}

std::string tracePath() {
    const char *file = std::getenv("ORV_TRACE_FILE");
    if (file != nullptr && *file != '\0') return file;
    return std::string(orv::agentRoot()) + "/log/trace.log";
}

// The open trace file of this process, reopened when the path changes or the
// file was removed or rotated away.
struct Sink {
    std::mutex lock;
    std::string path;
    int fd = -1;

    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    // True while the path still names the file we hold (it may have been
    // removed or replaced by an operator or by another process's rotation).
    bool stillCurrent() const {
        struct stat mine {
        }, named{};
        return ::fstat(fd, &mine) == 0 && ::stat(path.c_str(), &named) == 0 &&
               mine.st_ino == named.st_ino && mine.st_dev == named.st_dev;
    }

    int open(const std::string &wanted) {
        if (fd >= 0 && wanted == path && stillCurrent()) return fd;
        close();
        path = wanted;
        // A new file (a rotation's too) gets the agent's mode, whatever the umask.
        fd = orv::access::openCreating(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            // The trace log is the one writer that creates the log directory.
            std::string dir = path.substr(0, path.rfind('/'));
            if (!dir.empty() && orv::access::makeFolder(dir.c_str())) {
                fd = orv::access::openCreating(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            }
        }
        return fd;
    }

    // After a write: past the size bound, the first process to notice renames
    // the file under an exclusive lock; every process then reopens.
    void rotateIfNeeded() {
        struct stat mine {};
        if (fd < 0 || ::fstat(fd, &mine) != 0 || mine.st_size <= kRotateSize) return;
        if (::flock(fd, LOCK_EX) == 0) {
            struct stat current {};
            if (::stat(path.c_str(), &current) == 0 && current.st_ino == mine.st_ino &&
                current.st_dev == mine.st_dev) {
                std::string older = path + ".1";
                ::rename(path.c_str(), older.c_str());
            }
            ::flock(fd, LOCK_UN);
        }
        std::string p = path;
        close();
        open(p);
    }
};

Sink &sink() {
    static Sink *s = new Sink;  // outlives every static destructor that may trace
    return *s;
}

thread_local char threadName[32] = "";

// Appends the formatted text to out; a %s argument that is NULL shows as
// "NULL". Every other conversion is handed to vsnprintf one at a time.
void formatMessage(std::string &out, const char *format, va_list args) {
    char piece[512];
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            const char *start = p;
            while (*p != '\0' && *p != '%') ++p;
            out.append(start, p);
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        // flags, width, precision, length
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) ++p;
        bool starWidth = false, starPrecision = false;
        if (*p == '*') {
            starWidth = true;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') ++p;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                starPrecision = true;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') ++p;
            }
        }
        int longs = 0;
        bool shortInt = false, longDouble = false, sizeLike = false;
        for (;;) {
            if (*p == 'l') {
                ++longs;
            } else if (*p == 'h') {
                shortInt = true;
            } else if (*p == 'L') {
                longDouble = true;
            } else if (*p == 'z' || *p == 'j' || *p == 't') {
                sizeLike = true;
            } else {
                break;
            }
            ++p;
        }
        char conv = *p;
        if (conv == '\0') {
            out.append(start);
            return;
        }
        ++p;
        std::string conversion(start, p);
        int width = starWidth ? va_arg(args, int) : 0;
        int precision = starPrecision ? va_arg(args, int) : 0;
        auto emit = [&](auto value) {
            int n;
            if (starWidth && starPrecision) {
                n = std::snprintf(piece, sizeof piece, conversion.c_str(), width, precision, value);
            } else if (starWidth) {
                n = std::snprintf(piece, sizeof piece, conversion.c_str(), width, value);
            } else if (starPrecision) {
                n = std::snprintf(piece, sizeof piece, conversion.c_str(), precision, value);
            } else {
                n = std::snprintf(piece, sizeof piece, conversion.c_str(), value);
            }
            if (n > 0) out.append(piece, std::min<size_t>(size_t(n), sizeof piece - 1));
        };
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        switch (conv) {
            case 'd':
            case 'i':
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                if (longs >= 2) {
                    emit(va_arg(args, long long));
                } else if (longs == 1 || sizeLike) {
                    emit(va_arg(args, long));
                } else {
                    (void)shortInt;  // promoted to int
                    emit(va_arg(args, int));
                }
                break;
            case 'c':
                emit(va_arg(args, int));
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (longDouble) {
                    emit(va_arg(args, long double));
                } else {
                    emit(va_arg(args, double));
                }
                break;
            case 'p':
                emit(va_arg(args, void *));
                break;
            case 's': {
                const char *s = va_arg(args, const char *);
                if (s == nullptr) {
                    conversion.back() = 's';
                    emit("NULL");
                } else if (!starWidth && !starPrecision && conversion == "%s") {
                    out.append(s);  // the common case, without a length limit
                } else {
                    emit(s);
                }
                break;
            }
            case 'n':
                (void)va_arg(args, void *);  // never written through
                break;
            default:
                out.append(conversion);
                break;
        }
#pragma GCC diagnostic pop
    }
}

void writeLine(int level, const char *source, const char *function, int line, const char *format,
               va_list args) {
    std::string text;
    text.reserve(256);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    char stamp[64];
    if (localtime_r(&now.tv_sec, &local) != nullptr) {
        size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", now.tv_nsec / 1000000);
    } else {
        std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(now.tv_sec));
    }
    text.append(stamp);
    text.push_back(' ');
    if (threadName[0] != '\0') {
        text.append(threadName);
    } else {
        text.append("tid").append(std::to_string(static_cast<long>(::syscall(SYS_gettid))));
    }
    text.push_back(' ');
    text.append(std::to_string(level));
    text.push_back(' ');
    text.append(source != nullptr ? source : "NULL");
    text.push_back(':');
    text.append(function != nullptr ? function : "NULL");
    text.push_back(':');
    text.append(std::to_string(line));
    text.push_back(' ');
    if (format != nullptr) formatMessage(text, format, args);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.size() > kMaxLine) text.resize(kMaxLine);
    text.push_back('\n');

    std::string path = tracePath();
    if (path == "-") {
        // Standard error is usually a terminal: names and texts from product
        // files must not drive it. The trace file keeps the exact text.
        text.pop_back();
        std::string shown = orv::escaped(text);
        shown.push_back('\n');
        (void)!::write(STDERR_FILENO, shown.data(), shown.size());
        return;
    }
    Sink &s = sink();
    std::lock_guard guard(s.lock);
    int fd = s.open(path);
    if (fd < 0) return;
    if (::write(fd, text.data(), text.size()) < 0) return;
    s.rotateIfNeeded();
}

// The observer and the levels it watches; a call of a level nobody watches
// costs one more relaxed load.
std::atomic<unsigned> observedLevels{0};
TraceObserver observer = nullptr;
void *observerContext = nullptr;
thread_local bool observing = false;

void observe(int level, const char *source, const char *function, const char *format,
             va_list args) {
    if (observing || observer == nullptr) return;
    observing = true;
    va_list copy;
    va_copy(copy, args);
    observer(observerContext, level, threadName, source, function, format, copy);
    va_end(copy);
    observing = false;
}

}  // namespace

extern "C" QORTRACE_API void TraceLog(int level, const char *source, const char *function, int line,
                                      const char *format, ...) {
    if (level < 0 || level > kMaxLevel) return;
    bool watched = (observedLevels.load(std::memory_order_acquire) & (1u << level)) != 0;
    bool kept = (keptLevels() & (1 << level)) != 0;
    if (!watched && !kept) return;
    int savedErrno = errno;
    va_list args;
    va_start(args, format);
    if (watched) observe(level, source, function, format, args);
    if (kept) {
        try {
            writeLine(level, source, function, line, format, args);
        } catch (...) {
            // A trace line that cannot be built is dropped.
        }
    }
    va_end(args);
    errno = savedErrno;
}

extern "C" QORTRACE_API void TraceLogSetObserver(TraceObserver function, void *context,
                                                 unsigned levels) {
    observedLevels.store(0, std::memory_order_release);
    observer = function;
    observerContext = context;
    if (function != nullptr) observedLevels.store(levels, std::memory_order_release);
}

extern "C" QORTRACE_API void TraceLogSetThrName(const char *name) {
    if (name == nullptr) {
        threadName[0] = '\0';
        return;
    }
    std::snprintf(threadName, sizeof threadName, "%s", name);
}

extern "C" QORTRACE_API void TraceLogReload() {
    cachedLevels.store(parseLevels(), std::memory_order_relaxed);
}
