// Report table copy (internal interface of the library's modules): one copy
// through the copy library, the sources it registered appended to the inner
// product, and the change callback of a slimmed update.
#pragma once

#include <cstdint>

#include "names.h"
#include "w32compat.h"

namespace amirtupt {

// ExecRTCopy: 1 when the copy library made the copy, 0 otherwise.
int32_t execRTCopy(const char *lpszProduct, CopyMode dwMode, const char *lpszString,
                   uint32_t dwSize, const char *lpszOrgString, uint32_t dwOrgSize,
                   uint32_t dwEnvironmentLanguageID, int32_t bSlimed);

// UpdateSrc: appends "RegisterSrc" to the product's source data; 1 on success.
int32_t updateSrc(const char *lpszProduct);

int32_t initChangedReportTable();
int32_t callBackChangedReportTable();
int32_t dllMain(uint32_t dwReason);

// While a slimmed update runs, the change callback announces it on these
// events, under the product's display name; the watch ends with the holder.
class ChangeWatch {
  public:
    ChangeWatch(const char *displayName, HANDLE start, HANDLE updating) noexcept;
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch &) = delete;
    ChangeWatch &operator=(const ChangeWatch &) = delete;
    // True when the callback reported a change since the last update copy began.
    bool changed() const noexcept;
};

// Reads an inner save parameter of up to `capacity` bytes into `data`;
// *length receives its length (0 after a failure).
bool readSaveParam(const char *name, void *data, DWORD capacity, DWORD *length);

// Sets the inner save parameter "Traditional".
void writeTraditional(DWORD value);

}  // namespace amirtupt
