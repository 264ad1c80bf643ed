// Fuzz target: QORPPLX_readRI on arbitrary file contents.
//
// Each input is written to one private file that the reader then reads. A
// record that comes back must keep every text terminated inside its field and
// its report table count inside 0..4, and a copy of it must compare equal.
// Every trace level is formatted (to /dev/null) so the trace calls see every
// argument the reader passes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    PPInfo copy;
    QORPPLX_PPInfoResetPP(&copy);
    QORPPLX_PPInfoCopyPP(&copy, record);
    if (QORPPLX_PPInfoCompPP(&copy, record) != 0) __builtin_trap();
    std::free(record);
    return 0;
}
