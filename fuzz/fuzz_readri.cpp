// Fuzz target: QORPPLX_readRI on arbitrary file contents.
//
// Each input is written to one private file that the reader then reads. A
// record that comes back must keep every text terminated inside its field and
// its report table count inside 0..4, and a copy of it must compare equal.
// An input that is one line of at most 510 characters must also yield what
// the two line patterns give when matched with all their groups.
// Every trace level is formatted (to /dev/null) so the trace calls see every
// argument the reader passes.
#include <fcntl.h>
#include <locale.h>
#include <regex.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "amirtupt.h"

namespace {

char inputPath[] = "/tmp/readri-XXXXXX";

void removeInput() {
    ::unlink(inputPath);
}

template <size_t N>
void requireTerminated(const char (&field)[N]) {
    if (strnlen(field, N) == N) __builtin_trap();
}

void requireWhole(const PPInfo &p) {
    requireTerminated(p.FileName);
    requireTerminated(p.ProductName);
    requireTerminated(p.DisplayName);
    requireTerminated(p.LanguageID);
    requireTerminated(p.ProductID);
    requireTerminated(p.Version);
    for (const auto &table : p.ReportTablePath) requireTerminated(table);
    if (p.NumReportTablePath < 0 || p.NumReportTablePath > PPINFO_MAX_REPORTTABLES) {
        __builtin_trap();
    }
    if (p.next != nullptr || p.op != PPOP_NONE || std::strcmp(p.FileName, inputPath) != 0) {
        __builtin_trap();
    }
}

regex_t quotedPattern, unquotedPattern;
locale_t cLocale;

// The fields a single line sets, by the patterns matched with all groups.
struct Expected {
    std::string productName, displayName, productId, version;
};

Expected expectedFromLine(const std::string &line) {
    Expected e;
    regmatch_t m[4];
    auto group = [&](int i) {
        return line.substr(size_t(m[i].rm_so), size_t(m[i].rm_eo - m[i].rm_so));
    };
    locale_t previous = uselocale(cLocale);
    if (regexec(&quotedPattern, line.c_str(), 4, m, 0) == 0) {
        if (group(1) == "ProductName") e.productName = group(2);
        if (group(1) == "DisplayName") e.displayName = group(2);
        if (group(1) == "Version") e.version = group(2).substr(0, PPINFO_VERSION_SIZE - 1);
    } else if (regexec(&unquotedPattern, line.c_str(), 4, m, 0) == 0) {
        if (group(1) == "ProductID") e.productId = group(2).substr(0, PPINFO_PRODUCTID_SIZE - 1);
    }
    uselocale(previous);
    return e;
}

void requireSameAsFullMatch(const PPInfo &p, const uint8_t *data, size_t size) {
    if (size > 510 || std::memchr(data, '\n', size) != nullptr ||
        std::memchr(data, 0xFF, size) != nullptr || std::memchr(data, 0, size) != nullptr) {
        return;
    }
    Expected e = expectedFromLine(std::string(reinterpret_cast<const char *>(data), size));
    if (e.productName != p.ProductName || e.displayName != p.DisplayName ||
        e.productId != p.ProductID || e.version != p.Version) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::setenv("ORV_TRACE_LEVELS", "all", /*overwrite=*/0);
    ::setenv("ORV_TRACE_FILE", "/dev/null", 1);
    int fd = ::mkstemp(inputPath);
    if (fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    ::close(fd);
    std::atexit(removeInput);
    cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    locale_t previous = uselocale(cLocale);
    if (regcomp(&quotedPattern, "[[:space:]]*([[:alnum:]]*)[[:space:]]*=[[:space:]]*\"(.*)\"",
                REG_EXTENDED) != 0 ||
        regcomp(&unquotedPattern, "[[:space:]]*([[:alnum:]]*)[[:space:]]*=[[:space:]]*(.*)",
                REG_EXTENDED) != 0) {
        std::abort();
    }
    uselocale(previous);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd = ::open(inputPath, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) std::abort();
    for (size_t done = 0; done < size;) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    ::close(fd);

    PPInfo *record = QORPPLX_readRI(inputPath);
    if (record == nullptr) return 0;
    requireWhole(*record);
    requireSameAsFullMatch(*record, data, size);
    PPInfo copy;
    QORPPLX_PPInfoResetPP(&copy);
    QORPPLX_PPInfoCopyPP(&copy, record);
    if (QORPPLX_PPInfoCompPP(&copy, record) != 0) __builtin_trap();
    std::free(record);
    return 0;
}
