// Product records and lists, and the product link log.
//
// A list is a chain of malloc'ed PPInfo records through their first field;
// its holder keeps the head and stores the head that an operation returns.
// The operations keep no state and take no lock. The product link log
// "<root>/log/PPLink.log" is opened, written and closed once per entry and is
// started afresh once it has grown past 50000 bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "amirtupt.h"
#include "file_access.h"
#include "qorutil.h"
#include "trace.h"

namespace {

constexpr const char kTraceSource[] = "ppinfo";

using amirtupt::kDetail;

// Copies a NUL-terminated text into a field of `size` bytes, cut to fit and
// always terminated; source and field may be the same.
void copyText(char *field, size_t size, const char *text) {
    size_t length = strnlen(text, size - 1);
    std::memmove(field, text, length);
    field[length] = '\0';
}

template <size_t N>
void copyField(char (&field)[N], const char *text) {
    copyText(field, N, text);
}

// Byte-wise comparison of two text fields of one width (unsigned bytes, like
// strcmp; a field never reads past its own array).
template <size_t N>
int compareField(const char (&a)[N], const char (&b)[N]) {
    return std::strncmp(a, b, N);
}

// The number of report table entries in use, kept inside 0 to 4 so that an
// out-of-range count never reads or writes past the array.
int tablesInUse(int count) {
    if (count < 0) return 0;
    if (count > PPINFO_MAX_REPORTTABLES) return PPINFO_MAX_REPORTTABLES;
    return count;
}

PPInfo *addRecord(PPInfo *head, PPInfo *pp) {
    if (head == nullptr) return pp;
    pp->next = nullptr;
    PPInfo *last = head;
    while (last->next != nullptr) last = last->next;
    last->next = pp;
    return head;
}

void setRecord(PPInfo *p, const char *fileName, const char *productName, int numReportTablePath,
               const char *reportTablePath, const char *displayName, const char *languageId,
               const char *productId, const char *version) {
    copyField(p->FileName, fileName);
    copyField(p->ProductName, productName);
    int tables = reportTablePath != nullptr ? tablesInUse(numReportTablePath) : 0;
    p->NumReportTablePath = tables;
    for (int i = 0; i < tables; ++i) {
        copyField(p->ReportTablePath[i],
                  reportTablePath + static_cast<ptrdiff_t>(i) * PPINFO_REPORTTABLEPATH_SIZE);
    }
    copyField(p->DisplayName, displayName);
    copyField(p->LanguageID, languageId);
    copyField(p->ProductID, productId);
    copyField(p->Version, version);
    p->op = PPOP_NONE;
    p->next = nullptr;
}

void copyRecord(PPInfo *dest, const PPInfo *src) {
    copyField(dest->FileName, src->FileName);
    copyField(dest->ProductName, src->ProductName);
    int tables = tablesInUse(src->NumReportTablePath);
    dest->NumReportTablePath = tables;
    for (int i = 0; i < tables; ++i) copyField(dest->ReportTablePath[i], src->ReportTablePath[i]);
    copyField(dest->DisplayName, src->DisplayName);
    copyField(dest->LanguageID, src->LanguageID);
    copyField(dest->ProductID, src->ProductID);
    copyField(dest->Version, src->Version);
    dest->access = src->access;
    dest->modify = src->modify;
    dest->change = src->change;
    dest->op = src->op;
}

void clearList(PPInfo *head) {
    while (head != nullptr) {
        PPInfo *next = head->next;
        std::free(head);
        head = next;
    }
}

PPInfo *deleteAllRemoved(PPInfo *head) {
    PPInfo *lastKept = nullptr;
    PPInfo *p = head;
    while (p != nullptr) {
        PPInfo *next = p->next;
        if (p->op != PPOP_REMOVE) {
            lastKept = p;
        } else {
            if (p == head) {
                head = next;
            } else {
                lastKept->next = next;
            }
            std::free(p);
        }
        p = next;
    }
    return head;
}

PPInfo *deleteRecord(PPInfo *head, PPInfo *pp) {
    if (head == nullptr) return nullptr;
    if (pp == head) {
        PPInfo *next = head->next;
        std::free(head);
        return next;
    }
    for (PPInfo *prev = head; prev->next != nullptr; prev = prev->next) {
        if (prev->next == pp) {
            prev->next = pp->next;
            std::free(pp);
            break;
        }
    }
    return head;
}

PPInfo *findByProduct(PPInfo *head, const char *productName) {
    for (PPInfo *p = head; p != nullptr; p = p->next) {
        if (std::strncmp(p->ProductName, productName, sizeof p->ProductName) == 0) return p;
    }
    return nullptr;
}

PPInfo *findByFile(PPInfo *head, const char *fileName) {
    for (PPInfo *p = head; p != nullptr; p = p->next) {
        if (std::strncmp(p->FileName, fileName, sizeof p->FileName) == 0) return p;
    }
    return nullptr;
}

bool differ(const PPInfo *a, const PPInfo *b) {
    if (compareField(a->DisplayName, b->DisplayName) != 0 ||
        compareField(a->ProductName, b->ProductName) != 0 ||
        compareField(a->ProductID, b->ProductID) != 0 ||
        compareField(a->Version, b->Version) != 0) {
        return true;
    }
    if (a->NumReportTablePath != b->NumReportTablePath) return true;
    int tables = tablesInUse(a->NumReportTablePath);
    for (int i = 0; i < tables; ++i) {
        if (compareField(a->ReportTablePath[i], b->ReportTablePath[i]) != 0) return true;
    }
    return false;
}

// Versions compare as plain byte strings: 1.10 is not newer than 1.9.
bool versionNewer(const PPInfo *a, const PPInfo *b) {
    if (a == nullptr) return false;
    if (b == nullptr) return true;
    return compareField(a->Version, b->Version) > 0;
}

// A file is taken over only when it was modified and carries a greater version.
bool fileNewer(const PPInfo *a, const PPInfo *b) {
    if (a->modify == b->modify) return false;
    return versionNewer(a, b);
}

const char *opName(int op) {
    switch (op) {
        case PPOP_NONE:
            return "NONE";
        case PPOP_CREATE:
            return "CREATE";
        case PPOP_REMOVE:
            return "REMOVE";
        case PPOP_UPDATE:
            return "UPDATE";
        default:
            return "UNKNOWN";
    }
}

void printTime(const char *label, time_t value) {
    char text[64];  // ctime_r needs 26 bytes
    const char *shown = ctime_r(&value, text);
    std::printf("%s: %s", label, shown != nullptr ? shown : "NULL");
}

void printList(const PPInfo *head) {
    int n = 1;
    for (const PPInfo *p = head; p != nullptr; p = p->next, ++n) {
        std::printf("*** No.%d ***\n", n);
        std::printf("FileName: %.*s\n", static_cast<int>(sizeof p->FileName), p->FileName);
        std::printf("ProductName: %.*s\n", static_cast<int>(sizeof p->ProductName), p->ProductName);
        int tables = tablesInUse(p->NumReportTablePath);
        for (int i = 0; i < tables; ++i) {
            std::printf("ReportTablePath[%d]: %.*s\n", i,
                        static_cast<int>(sizeof p->ReportTablePath[i]), p->ReportTablePath[i]);
        }
        std::printf("DisplayName: %.*s\n", static_cast<int>(sizeof p->DisplayName), p->DisplayName);
        std::printf("LanguageID: %.*s\n", static_cast<int>(sizeof p->LanguageID), p->LanguageID);
        std::printf("ProductID: %.*s\n", static_cast<int>(sizeof p->ProductID), p->ProductID);
        std::printf("Version: %.*s\n", static_cast<int>(sizeof p->Version), p->Version);
        printTime("access", p->access);
        printTime("modify", p->modify);
        printTime("change", p->change);
        if (p->op >= PPOP_NONE && p->op <= PPOP_UPDATE) {
            std::printf("op: %s\n", opName(p->op));
        } else {
            std::printf("op: %s(%d)\n", opName(p->op), p->op);
        }
    }
}

// ---- Product link log ----------------------------------------------------

constexpr size_t kRootBufferSize = 512;
constexpr const char kLogName[] = "/log/PPLink.log";
constexpr off_t kLogBound = 50000;

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// One entry: find the file, empty it when it has grown past the bound, write
// the optional stamp and the caller's text, close it. Every failure is silent.
void writeLog(bool stamped, const char *format, va_list args) {
    if (format == nullptr) return;
    char path[kRootBufferSize];
    int rootLength = GetQorRootPath(path, sizeof path);
    if (rootLength <= 0) return;
    size_t length = strnlen(path, sizeof path);
    if (length + sizeof kLogName > sizeof path) return;  // no room for the file name
    std::memcpy(path + length, kLogName, sizeof kLogName);

    struct stat status {};
    bool restart = ::stat(path, &status) == 0 && status.st_size > kLogBound;
    // A new log gets the agent's mode, whatever the umask.
    int fd = orv::access::openCreating(path, O_WRONLY | O_CLOEXEC | (restart ? O_TRUNC : O_APPEND));
    if (fd < 0) return;
    UniqueFile file(::fdopen(fd, restart ? "w" : "a"));
    if (!file) {
        ::close(fd);
        return;
    }

    if (stamped) {
        time_t now = std::time(nullptr);
        tm local{};
        if (now != static_cast<time_t>(-1) && localtime_r(&now, &local) != nullptr) {
            std::fprintf(file.get(), "%d/%d %d:%d:%d ", local.tm_mon + 1, local.tm_mday,
                         local.tm_hour, local.tm_min, local.tm_sec);
        }
    }
    std::vfprintf(file.get(), format, args);
}

}  // namespace

extern "C" {

AMIRTUPT_API PPInfo *QORPPLX_PPInfoAddPP(PPInfo *head, PPInfo *pp) noexcept {
    TRACE(kDetail, ">Params: head=%p pp=%p", static_cast<void *>(head), static_cast<void *>(pp));
    PPInfo *result = pp != nullptr ? addRecord(head, pp) : head;
    TRACE(kDetail, "< return value %p", static_cast<void *>(result));
    return result;
}

AMIRTUPT_API int QORPPLX_PPInfoResetPP(PPInfo *p) noexcept {
    TRACE(kDetail, ">Params: p=%p", static_cast<void *>(p));
    if (p != nullptr) std::memset(static_cast<void *>(p), 0, sizeof *p);
    TRACE(kDetail, "< return value 0");
    return 0;
}

AMIRTUPT_API int QORPPLX_PPInfoSetPP(PPInfo *p, const char *FileName, const char *ProductName,
                                     int NumReportTablePath, const char *ReportTablePath,
                                     const char *DisplayName, const char *LanguageID,
                                     const char *ProductID, const char *Version) noexcept {
    TRACE(kDetail,
          ">Params: p=%p FileName=%s ProductName=%s NumReportTablePath=%d ReportTablePath=%p "
          "DisplayName=%s LanguageID=%s ProductID=%s Version=%s",
          static_cast<void *>(p), FileName, ProductName, NumReportTablePath,
          static_cast<const void *>(ReportTablePath), DisplayName, LanguageID, ProductID, Version);
    const char *texts[] = {FileName, ProductName, DisplayName, LanguageID, ProductID, Version};
    bool complete = p != nullptr;
    for (const char *text : texts) complete = complete && text != nullptr;
    if (complete) {
        setRecord(p, FileName, ProductName, NumReportTablePath, ReportTablePath, DisplayName,
                  LanguageID, ProductID, Version);
    }
    TRACE(kDetail, "< return value 0");
    return 0;
}

AMIRTUPT_API int QORPPLX_PPInfoCopyPP(PPInfo *dest, const PPInfo *src) noexcept {
    TRACE(kDetail, ">Params: dest=%p src=%p", static_cast<void *>(dest),
          static_cast<const void *>(src));
    if (dest != nullptr && src != nullptr) copyRecord(dest, src);
    TRACE(kDetail, "< return value 0");
    return 0;
}

AMIRTUPT_API int QORPPLX_PPInfoClear(PPInfo *head) noexcept {
    TRACE(kDetail, ">Params: head=%p", static_cast<void *>(head));
    clearList(head);
    TRACE(kDetail, "< return value 0");
    return 0;
}

AMIRTUPT_API PPInfo *QORPPLX_PPInfoDeleteAllRemovedPP(PPInfo *head) noexcept {
    TRACE(kDetail, ">Params: head=%p", static_cast<void *>(head));
    PPInfo *result = deleteAllRemoved(head);
    TRACE(kDetail, "< return value %p", static_cast<void *>(result));
    return result;
}

AMIRTUPT_API PPInfo *QORPPLX_PPInfoDeletePP(PPInfo *head, PPInfo *pp) noexcept {
    TRACE(kDetail, ">Params: head=%p pp=%p", static_cast<void *>(head), static_cast<void *>(pp));
    PPInfo *result = pp != nullptr ? deleteRecord(head, pp) : head;
    TRACE(kDetail, "< return value %p", static_cast<void *>(result));
    return result;
}

AMIRTUPT_API PPInfo *QORPPLX_PPInfoFindPPbyProduct(PPInfo *head, const char *productname) noexcept {
    TRACE(kDetail, ">Params: head=%p productname=%s", static_cast<void *>(head), productname);
    PPInfo *result = productname != nullptr ? findByProduct(head, productname) : nullptr;
    TRACE(kDetail, "< return value %p", static_cast<void *>(result));
    return result;
}

AMIRTUPT_API PPInfo *QORPPLX_PPInfoFindPP(PPInfo *head, const char *filename) noexcept {
    TRACE(kDetail, ">Params: head=%p filename=%s", static_cast<void *>(head), filename);
    PPInfo *result = filename != nullptr ? findByFile(head, filename) : nullptr;
    TRACE(kDetail, "< return value %p", static_cast<void *>(result));
    return result;
}

AMIRTUPT_API int QORPPLX_PPInfoCompPP(const PPInfo *a, const PPInfo *b) noexcept {
    TRACE(kDetail, ">Params: a=%p b=%p", static_cast<const void *>(a),
          static_cast<const void *>(b));
    int result = (a == nullptr || b == nullptr) ? (a != b ? 1 : 0) : (differ(a, b) ? 1 : 0);
    TRACE(kDetail, "< return value %d", result);
    return result;
}

AMIRTUPT_API int QORPPLX_PPVersionNewer(const PPInfo *a, const PPInfo *b) noexcept {
    TRACE(kDetail, ">Params: a=%p b=%p", static_cast<const void *>(a),
          static_cast<const void *>(b));
    int result = versionNewer(a, b) ? 1 : 0;
    TRACE(kDetail, "< return value %d", result);
    return result;
}

AMIRTUPT_API int QORPPLX_PPInfoNewer(const PPInfo *a, const PPInfo *b) noexcept {
    TRACE(kDetail, ">Params: a=%p b=%p", static_cast<const void *>(a),
          static_cast<const void *>(b));
    int result = (a != nullptr && b != nullptr) ? (fileNewer(a, b) ? 1 : 0) : 0;
    TRACE(kDetail, "< return value %d", result);
    return result;
}

AMIRTUPT_API int QORPPLX_PPInfoPrint(PPInfo *head) noexcept {
    TRACE(kDetail, ">Params: head=%p", static_cast<void *>(head));
    printList(head);
    TRACE(kDetail, "< return value 0");
    return 0;
}

AMIRTUPT_API void pplog(const char *format, ...) noexcept {
    TRACE(kDetail, ">Params: format=%s", format);
    va_list args;
    va_start(args, format);
    writeLog(/*stamped=*/true, format, args);
    va_end(args);
    TRACE(kDetail, "<");
}

AMIRTUPT_API void pplognotime(const char *format, ...) noexcept {
    TRACE(kDetail, ">Params: format=%s", format);
    va_list args;
    va_start(args, format);
    writeLog(/*stamped=*/false, format, args);
    va_end(args);
    TRACE(kDetail, "<");
}

}  // extern "C"
