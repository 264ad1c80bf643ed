// Helpers shared by the record, reader, scan and log tests.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "amirtupt.h"
#include "files.h"

namespace records_test {

inline constexpr const char kInfDir[] = QORPPLX_REPORT_INF_DIR;

using orv_test::readFile;
using orv_test::writeFile;

// A heap record as the list operations expect it, reset and named.
inline PPInfo *newRecord(const char *productName, int op = PPOP_NONE) {
    auto *p = static_cast<PPInfo *>(std::malloc(sizeof(PPInfo)));
    if (p == nullptr) std::abort();
    QORPPLX_PPInfoResetPP(p);
    std::strcpy(p->ProductName, productName);
    p->op = op;
    return p;
}

}  // namespace records_test
