// The product registry store, the product commands and their dispatch
// (internal interface of the library's modules; all trace under the source
// "product").
#pragma once

#include <cstdint>
#include <cstdlib>

#include "amirtupt.h"
#include "w32compat.h"

namespace amirtupt::product {

// A parameter block of the copy library is this many bytes long.
inline constexpr DWORD kBlockSize = 112;
// The stored report table list: NUL-separated paths, a final NUL, zeros.
inline constexpr DWORD kReportTableListSize = 254;
inline constexpr int kMaxTables = PPINFO_MAX_REPORTTABLES;

// A copy of a caller's record whose every text ends inside its field, so that
// nothing below reads past a field of a record filled by hand.
PPInfo terminatedCopy(const PPInfo &record);

// The exported entries take a caller's record; the store and the commands
// work on a copy whose texts end inside their fields.
template <typename Body>
auto withRecord(const PPInfo *record, Body body) {
    if (record == nullptr) return body(nullptr);
    const PPInfo copy = terminatedCopy(*record);
    return body(&copy);
}

inline DWORD decimal(const char *text) {
    return static_cast<DWORD>(std::strtol(text, nullptr, 10));
}

// The registry store, under the names it traces as: 0 or -1 for the writers,
// the product type (0 automatic, 1 manual, or the preset on a failed read)
// for the type readers, the system language id, a record or a list from
// malloc for the readers.
int32_t registerPP(const PPInfo *record);
int32_t updatePP(const PPInfo *record);
int32_t unregisterPP(const PPInfo *record);
uint32_t GetProductType(const char *productName);
uint32_t GetIProductType(const char *productName);
int get_sa_language();
PPInfo *GetProductInfo(const char *productName);
int32_t ReadProductsRegisteried(int32_t type, PPInfo **head);

// The commands (product_commands.cpp), under the names they trace as: a
// PPRESULT_ code each.
uint32_t product_install(const PPInfo *record);
uint32_t product_update(const PPInfo *record);
uint32_t product_update_pi(const PPInfo *record);
uint32_t product_remove(const char *productName, int32_t productType);

// The commands' messages, through msgout (product_dispatch.cpp).
void message(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace amirtupt::product
