/*
 * Registry-access library: convenience reads over the Win32-compatibility
 * registry and the allocation helpers whose blocks callers release with free.
 * Calls return nonzero on success; on failure 0 with the reason in
 * GetLastError (ERROR_MORE_DATA and the needed size when a buffer is too
 * small).
 */
#ifndef AMACRE_H
#define AMACRE_H

#include "w32compat.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define AMACRE_API __attribute__((visibility("default")))
#else
#define AMACRE_API
#endif

/* Flag of AMACREAlloc: the block is zero-filled. */
#define AMACRE_ZEROINIT 64

/* Reads value valueName of the key keyPath\subkeyName. *size: capacity in,
 * length out. */
AMACRE_API BOOL AMACREGetSubkeyValue(HKEY root, LPCSTR keyPath, LPCSTR subkeyName, LPCSTR valueName,
                                     LPVOID data, LPDWORD size);
/* Reads value valueName of keyPath; *type receives its type (type may be NULL),
 * *size: capacity in, length out. */
AMACRE_API BOOL AMACRERegReadEx(HKEY root, LPCSTR keyPath, LPCSTR valueName, LPDWORD type,
                                LPDWORD size, LPVOID data);
/* A block of size bytes (zero-filled with AMACRE_ZEROINIT), released with free;
 * NULL on failure. */
AMACRE_API LPVOID AMACREAlloc(DWORD flags, DWORD size);
/* Stores in *size the usable capacity of a block of *size bytes from
 * AMACREAlloc. */
AMACRE_API BOOL AMACREAdjustSize(LPDWORD size);

#ifdef __cplusplus
}
#endif

#endif /* AMACRE_H */
