/*
 * Report-table copy library: keeps the alert manager's report table, the
 * outer products, the inner products and the inner save parameters in the
 * registry, and copies product report tables into the report table (RTCopy).
 *
 * Unless stated otherwise a call returns nonzero on success and 0 on failure,
 * with the reason in GetLastError (ERROR_MORE_DATA and the needed size when a
 * buffer is too small). Name blocks of the enumerations are released with
 * free.
 */
#ifndef TBLSYNC_H
#define TBLSYNC_H

#include <stddef.h>
#include <stdint.h>

#include "w32compat.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TBLSYNC_API __attribute__((visibility("default")))
#else
#define TBLSYNC_API
#endif

/* Registry keys of the alert manager (under HKEY_LOCAL_MACHINE). */
#define TBLSYNC_KEY_OUTER_PRODUCTS "SOFTWARE\\ORV\\ALERTREPORT"
#define TBLSYNC_KEY_ALERTMAN "SOFTWARE\\ORV\\QORAlertMan"
#define TBLSYNC_KEY_INNER_PRODUCTS "SOFTWARE\\ORV\\QORAlertMan\\AlertReport"
#define TBLSYNC_KEY_SAVEPARAM "SOFTWARE\\ORV\\QORAlertMan\\SaveParam"
#define TBLSYNC_KEY_REPORTTABLE "SOFTWARE\\ORV\\QORAlertMan\\ReportTable"

/* Outer product parameter block (a product of SOFTWARE\ORV\ALERTREPORT).
 * The caller zeroes it, sets dwSize and, per wanted value, the buffer pointer
 * and, for texts, its capacity; a NULL pointer means "not wanted". */
typedef struct OuterProductParam {
    DWORD dwSize;            /* 112 */
    DWORD dwProductNameSize; /* capacity of lpszProductName */
    LPSTR lpszProductName;
    DWORD dwReportTableSize; /* capacity in; length of the value out */
    LPSTR lpszReportTable;   /* NUL-separated paths ended by an empty string */
    DWORD dwDisplayNameSize;
    LPSTR lpszDisplayName;
    LPDWORD lpdwLanguageID;
    LPDWORD lpdwProductID;
    DWORD dwVersionSize;
    LPSTR lpszVersion;
    LPDWORD lpdwProductType; /* 0 automatic, nonzero manual */
    BYTE reserved[24];
} OuterProductParam;

/* Inner product parameter block (the alert manager's record of a product
 * whose report tables were imported). On read every non-NULL pointer
 * receives its value; on write every field whose pointer is NULL is left
 * unchanged in the store. */
typedef struct InnerProductParam {
    DWORD dwSize;       /* 112 */
    DWORD dwSourceSize; /* length (write) or capacity in, length out (read) */
    LPBYTE lpSource;    /* the sources registered for the product */
    LPFILETIME lpProductTime;
    DWORD dwProductNameSize;
    LPSTR lpszProductName;
    DWORD dwRegisterPathSize; /* capacity (read) or length (write) */
    LPSTR lpszRegisterPath;
    DWORD dwDisplayNameSize;
    LPSTR lpszDisplayName;
    LPDWORD lpdwLanguageID;
    LPDWORD lpdwProductID;
    DWORD dwVersionSize;
    LPSTR lpszVersion;
    LPDWORD lpdwProductType;
} InnerProductParam;

/* Called by RTCopy in update mode, before it returns, when the copy changed
 * the report table. */
typedef BOOL (*RTCOPY_CHANGE_CALLBACK)(void);

/* Copy request of RTCopy. The argument vector holds, by mode:
 *   "CREATE", product                         (count 2)
 *   "UPDATE", change callback or NULL, product (count 3)
 *   "REMOVE", product                         (count 2)
 *   path of the traditional report table      (count 1)
 * each ended by a NULL pointer. */
typedef struct RTCopyRequest {
    uint64_t qwSize;   /* 56 */
    DWORD dwFlags;     /* 0 */
    DWORD dwReserved1; /* 0 */
    DWORD dwReserved2; /* 0 */
    DWORD dwReserved3; /* 0 */
    DWORD dwPriority;  /* 100 */
    DWORD dwUnused;    /* not set */
    LPVOID lpReserved; /* NULL */
    DWORD dwReserved4; /* 0 */
    DWORD dwArgc;
    void **lppArgv;
} RTCopyRequest;

#if defined(__x86_64__)
#ifdef __cplusplus
#define TBLSYNC_STATIC_ASSERT static_assert
#else
#define TBLSYNC_STATIC_ASSERT _Static_assert
#endif
TBLSYNC_STATIC_ASSERT(sizeof(OuterProductParam) == 112, "OuterProductParam size");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, dwProductNameSize) == 4, "outer 4");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpszProductName) == 8, "outer 8");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, dwReportTableSize) == 16, "outer 16");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpszReportTable) == 24, "outer 24");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, dwDisplayNameSize) == 32, "outer 32");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpszDisplayName) == 40, "outer 40");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpdwLanguageID) == 48, "outer 48");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpdwProductID) == 56, "outer 56");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, dwVersionSize) == 64, "outer 64");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpszVersion) == 72, "outer 72");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, lpdwProductType) == 80, "outer 80");
TBLSYNC_STATIC_ASSERT(offsetof(OuterProductParam, reserved) == 88, "outer 88");
TBLSYNC_STATIC_ASSERT(sizeof(InnerProductParam) == 112, "InnerProductParam size");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, dwSourceSize) == 4, "inner 4");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpSource) == 8, "inner 8");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpProductTime) == 16, "inner 16");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, dwProductNameSize) == 24, "inner 24");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpszProductName) == 32, "inner 32");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, dwRegisterPathSize) == 40, "inner 40");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpszRegisterPath) == 48, "inner 48");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, dwDisplayNameSize) == 56, "inner 56");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpszDisplayName) == 64, "inner 64");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpdwLanguageID) == 72, "inner 72");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpdwProductID) == 80, "inner 80");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, dwVersionSize) == 88, "inner 88");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpszVersion) == 96, "inner 96");
TBLSYNC_STATIC_ASSERT(offsetof(InnerProductParam, lpdwProductType) == 104, "inner 104");
TBLSYNC_STATIC_ASSERT(sizeof(RTCopyRequest) == 56, "RTCopyRequest size");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, dwFlags) == 8, "request 8");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, dwPriority) == 24, "request 24");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, dwUnused) == 28, "request 28");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, lpReserved) == 32, "request 32");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, dwReserved4) == 40, "request 40");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, dwArgc) == 44, "request 44");
TBLSYNC_STATIC_ASSERT(offsetof(RTCopyRequest, lppArgv) == 48, "request 48");
#undef TBLSYNC_STATIC_ASSERT
#endif

/* Runs one copy; 0 on success, nonzero on failure (the table unchanged). */
TBLSYNC_API int RTCopy(RTCopyRequest *request, DWORD flags);

/* Inner save parameters (values of SOFTWARE\ORV\QORAlertMan\SaveParam).
 * *size: capacity in, length out. */
TBLSYNC_API BOOL AMACRTReadInnerSaveParam(LPCSTR name, LPDWORD size, LPDWORD type, LPVOID data);
TBLSYNC_API BOOL AMACRTWriteInnerSaveParam(LPCSTR name, DWORD size, DWORD type, LPCVOID data);

TBLSYNC_API BOOL AMACRTReadProductParam(DWORD flags, LPCSTR productName, OuterProductParam *block);
TBLSYNC_API BOOL AMACRTReadInnerProductParam(DWORD flags, LPCSTR productName,
                                             InnerProductParam *block);
TBLSYNC_API BOOL AMACRTWriteInnerProductParam(DWORD flags, LPCSTR productName,
                                              InnerProductParam *block);

/* Product names: name i at i * (*maxLength + 1) in *names (free it). A
 * missing parent key is an empty list and success. */
TBLSYNC_API BOOL AMACRTEnumProduct(LPDWORD count, LPDWORD maxLength, LPSTR *names);
TBLSYNC_API BOOL AMACRTEnumInnerProduct(LPDWORD count, LPDWORD maxLength, LPSTR *names);

TBLSYNC_API BOOL AMACRTCheckProduct(LPCSTR productName, LPDWORD exists);
TBLSYNC_API BOOL AMACRTCheckInnerProduct(LPCSTR productName, LPDWORD exists);
TBLSYNC_API BOOL AMACRTAddInnerProduct(LPCSTR productName);
TBLSYNC_API BOOL AMACRTDeleteInnerProduct(LPCSTR productName);
TBLSYNC_API BOOL AMACRTDeleteProduct(LPCSTR productName);

/* The outer product's product time: its key's last-write time. */
TBLSYNC_API BOOL AMACRTGetProductTime(LPCSTR productName, LPFILETIME time);
/* The system language (SOFTWARE\ORV\QORAlertMan, "LanguageID"). */
TBLSYNC_API BOOL AMACRTReadLanguageID(LPDWORD languageId);
/* The dispersed report table setting (SOFTWARE\ORV\QORAlertMan,
 * "DispersedReportTable"). */
TBLSYNC_API BOOL AMACRTReadDispersedReportTable(LPDWORD flag);

#ifdef __cplusplus
}
#endif

#endif /* TBLSYNC_H */
