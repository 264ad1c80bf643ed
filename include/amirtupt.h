/*
 * libamirtupt: keeps the alert-report product registry in step with the
 * report information files of /opt/orv/report/inf and has each product's
 * report tables imported into the alert manager's report table.
 *
 * The layout of PPInfo is part of the binary interface: setup tools fill it
 * themselves and hand it to product_process. Records put into lists come from
 * malloc and are released with free (or QORPPLX_PPInfoClear).
 */
#ifndef AMIRTUPT_H
#define AMIRTUPT_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define AMIRTUPT_API __attribute__((visibility("default")))
#else
#define AMIRTUPT_API
#endif

/* No exported function lets an exception out (C++ callers may rely on it). */
#ifdef __cplusplus
#define AMIRTUPT_NOEXCEPT noexcept
#else
#define AMIRTUPT_NOEXCEPT
#endif

#define PPINFO_FILENAME_SIZE 64
#define PPINFO_PRODUCTNAME_SIZE 512
#define PPINFO_MAX_REPORTTABLES 4
#define PPINFO_REPORTTABLEPATH_SIZE 254
#define PPINFO_DISPLAYNAME_SIZE 512
#define PPINFO_LANGUAGEID_SIZE 16
#define PPINFO_PRODUCTID_SIZE 64
#define PPINFO_VERSION_SIZE 20

/* The report information directory; never relocated. */
#define QORPPLX_REPORT_INF_DIR "/opt/orv/report/inf"
/* A larger report information file is refused before it is read (real files
 * are a few hundred bytes). */
#define QORPPLX_REPORT_INF_MAX_SIZE (1024 * 1024)

/* Operation codes of PPInfo.op. */
enum { PPOP_NONE = 0, PPOP_CREATE = 1, PPOP_REMOVE = 2, PPOP_UPDATE = 3 };

/* Product types of PPInfo.Manual and of the registry value "Manual". */
enum { PPTYPE_AUTOMATIC = 0, PPTYPE_MANUAL = 1 };

/* Command codes of product_process. */
enum { PPCMD_INSTALL = 0, PPCMD_UPDATE = 1, PPCMD_REMOVE = 2, PPCMD_UPDATE_REGISTRY = 4 };

/* Product result codes of the commands. */
enum {
    PPRESULT_OK = 0x00,
    PPRESULT_EXISTENCE = 0x01, /* install: already there; others: not there */
    PPRESULT_REMOVE_NOT_OWNED = 0x02,
    PPRESULT_NOT_HIGHER_VERSION = 0x03,
    PPRESULT_UPDATE_NOT_OWNED = 0x04,
    PPRESULT_FAILURE = 0x10,
    PPRESULT_INSTALL_FAILURE = 0x11,
    PPRESULT_INNER_FAILURE = 0x12,
    PPRESULT_IMPORT_FAILURE = 0x13,
    PPRESULT_REPORTTABLE_INVALID = 0x14
};

typedef struct PPInfo {
    struct PPInfo *next;
    char FileName[PPINFO_FILENAME_SIZE];
    char ProductName[PPINFO_PRODUCTNAME_SIZE];
    int32_t NumReportTablePath;
    char ReportTablePath[PPINFO_MAX_REPORTTABLES][PPINFO_REPORTTABLEPATH_SIZE];
    char DisplayName[PPINFO_DISPLAYNAME_SIZE];
    char LanguageID[PPINFO_LANGUAGEID_SIZE];
    char ProductID[PPINFO_PRODUCTID_SIZE];
    char Version[PPINFO_VERSION_SIZE];
    time_t access;
    time_t modify;
    time_t change;
    int32_t op;
    int32_t Manual;
} PPInfo;

/* Binary layout on x86-64; setup tools built against older headers rely on it. */
#if defined(__x86_64__)
#ifdef __cplusplus
#define AMIRTUPT_STATIC_ASSERT static_assert
#else
#define AMIRTUPT_STATIC_ASSERT _Static_assert
#endif
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, next) == 0, "PPInfo.next");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, FileName) == 8, "PPInfo.FileName");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, ProductName) == 72, "PPInfo.ProductName");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, NumReportTablePath) == 584, "PPInfo.NumReportTablePath");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, ReportTablePath) == 588, "PPInfo.ReportTablePath");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, DisplayName) == 1604, "PPInfo.DisplayName");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, LanguageID) == 2116, "PPInfo.LanguageID");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, ProductID) == 2132, "PPInfo.ProductID");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, Version) == 2196, "PPInfo.Version");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, access) == 2216, "PPInfo.access");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, modify) == 2224, "PPInfo.modify");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, change) == 2232, "PPInfo.change");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, op) == 2240, "PPInfo.op");
AMIRTUPT_STATIC_ASSERT(offsetof(PPInfo, Manual) == 2244, "PPInfo.Manual");
AMIRTUPT_STATIC_ASSERT(sizeof(PPInfo) == 2248, "sizeof(PPInfo)");
#undef AMIRTUPT_STATIC_ASSERT
#endif

/* ---- Records and lists ---------------------------------------------------
 * QORPPLX_PPInfoSetPP's ReportTablePath points to NumReportTablePath
 * consecutive entries of PPINFO_REPORTTABLEPATH_SIZE bytes, laid out like the
 * record's own ReportTablePath.
 * Operations that can change the first record return the new head; the
 * holder of the list stores it. Delete and clear free what they take out. */
AMIRTUPT_API PPInfo *QORPPLX_PPInfoAddPP(PPInfo *head, PPInfo *pp) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoResetPP(PPInfo *p) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoSetPP(PPInfo *p, const char *FileName, const char *ProductName,
                                     int NumReportTablePath, const char *ReportTablePath,
                                     const char *DisplayName, const char *LanguageID,
                                     const char *ProductID, const char *Version) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoCopyPP(PPInfo *dest, const PPInfo *src) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoClear(PPInfo *head) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API PPInfo *QORPPLX_PPInfoDeleteAllRemovedPP(PPInfo *head) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API PPInfo *QORPPLX_PPInfoDeletePP(PPInfo *head, PPInfo *pp) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API PPInfo *QORPPLX_PPInfoFindPPbyProduct(PPInfo *head,
                                                   const char *productname) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API PPInfo *QORPPLX_PPInfoFindPP(PPInfo *head, const char *filename) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoCompPP(const PPInfo *a, const PPInfo *b) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPVersionNewer(const PPInfo *a, const PPInfo *b) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoNewer(const PPInfo *a, const PPInfo *b) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_PPInfoPrint(PPInfo *head) AMIRTUPT_NOEXCEPT;

/* ---- Report information files -------------------------------------------
 * QORPPLX_readRI: a new record read from one file (caller frees), or NULL.
 * QORPPLX_getPPInfo: brings *head in step with the report information
 * directory; 0 after a scan, -1 when the directory cannot be listed. */
AMIRTUPT_API PPInfo *QORPPLX_readRI(const char *filename) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int QORPPLX_getPPInfo(PPInfo **head) AMIRTUPT_NOEXCEPT;

/* ---- Product link log ("<root>/log/PPLink.log"); failures are silent. ---- */
AMIRTUPT_API void pplog(const char *format, ...) AMIRTUPT_NOEXCEPT
    __attribute__((format(printf, 1, 2)));
AMIRTUPT_API void pplognotime(const char *format, ...) AMIRTUPT_NOEXCEPT
    __attribute__((format(printf, 1, 2)));

/* ---- Product registry (SOFTWARE\ORV\ALERTREPORT\<ProductName>) ----------- */
AMIRTUPT_API int32_t registerPP(PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t updatePP(PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t unregisterPP(PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API PPInfo *GetProductInfo(const char *productName) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t ReadProductsRegisteried(int32_t type, PPInfo **head) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API uint32_t GetProductType(const char *productName) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API uint32_t GetIProductType(const char *productName) AMIRTUPT_NOEXCEPT;

/* ---- Report table copy ---------------------------------------------------- */
AMIRTUPT_API int32_t ExecRTCopy(const char *lpszProduct, uint32_t dwMode, const char *lpszString,
                                uint32_t dwSize, const char *lpszOrgString, uint32_t dwOrgSize,
                                uint32_t dwEnvironmentLanguageID,
                                int32_t bSlimed) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t UpdateSrc(const char *lpszProduct) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t InitChangedReportTable(void) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t CallBackChangedReportTable(void) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t DllMain(void *hinstDLL, uint32_t dwReason,
                             void *lpvReserved) AMIRTUPT_NOEXCEPT;

/* One reconciliation pass of inner products against outer products:
 * 1 when the pass ran to its end, 0 when inner products could not be read. */
AMIRTUPT_API int32_t ProcAlertReport(uint32_t *lpdwProcCnts, void *hStartRTCopyEvent,
                                     void *hUpdatingRTCopyEvent) AMIRTUPT_NOEXCEPT;

/* ---- Product link thread ----------------------------------------------------
 * pAuto: pointer-sized words; the second is the host's stop event.
 * Exit codes: 0 stopped (or pAuto NULL), 1 keys or mutex unavailable,
 * 2 events could not be created. */
AMIRTUPT_API uint32_t AM_Dll_ReportTableUpdate(void *pAuto) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API void clearUp(void) AMIRTUPT_NOEXCEPT;

/* ---- Product commands ------------------------------------------------------ */
AMIRTUPT_API uint32_t product_process(uint32_t command, PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API void *EnterMutex(const char *name, uint32_t timeout) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API void OutMutex(void *handle) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API int32_t SetEventLogEvent(void) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API uint32_t product_install(PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API uint32_t product_update(PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API uint32_t product_update_pi(PPInfo *record) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API uint32_t product_remove(const char *productName,
                                     int32_t productType) AMIRTUPT_NOEXCEPT;
AMIRTUPT_API void msgout(const char *format, ...) AMIRTUPT_NOEXCEPT
    __attribute__((format(printf, 1, 2)));

/* Where msgout sends the commands' messages: 0 trace log (level 3),
 * 1 standard output, anything else nowhere. 0 at load. */
AMIRTUPT_API extern int print2;

#ifdef __cplusplus
}
#endif

#endif /* AMIRTUPT_H */
