/*
 * Win32-compatibility layer: the registry (one SQLite database shared by every
 * process, <root>/var/registry.db), named events and mutexes shared across
 * processes through POSIX shared memory, module loading over dlopen, and the
 * few helpers the agent's code expects under their Win32 names.
 *
 * Conventions of this layer that callers rely on:
 *  - WaitForSingleObject returns WAIT_OBJECT_0 == 2 when the event was
 *    signalled or the mutex obtained (an abandoned mutex included);
 *  - key and value names compare without regard to ASCII case;
 *  - registry calls return their error code and leave GetLastError alone;
 *  - CloseHandle closes any handle of this layer, registry keys included.
 */
#ifndef W32COMPAT_H
#define W32COMPAT_H

#include <stdint.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define W32_API __attribute__((visibility("default")))
#else
#define W32_API
#endif

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *HANDLE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HINSTANCE__ *HMODULE;
typedef HMODULE HINSTANCE;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
typedef void (*FARPROC)(void);

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DLL_INIT_FAILED 1114L
/* The registry's own failures. */
#define ERROR_BUSY 170L                /* the database stayed locked too long */
#define ERROR_REGISTRY_CORRUPT 1015L   /* not a registry database, or damaged */
#define ERROR_REGISTRY_IO_FAILED 1016L /* cannot be opened, read or written */

#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define EVENT_ALL_ACCESS 0x1F0003
#define MUTEX_ALL_ACCESS 0x1F0001
#define SYNCHRONIZE 0x00100000

/* This layer's wait results. */
#define WAIT_OBJECT_0 2u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1

/* ---- Registry ---------------------------------------------------------------
 * Paths use '\' as separator; a trailing '\' is ignored. Subkeys enumerate
 * in name order, values in the order they were first written. */
W32_API LONG RegCreateKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
W32_API LONG RegOpenKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
W32_API LONG RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition);
W32_API LONG RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
W32_API LONG RegCloseKey(HKEY hKey);
W32_API LONG RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData);
W32_API LONG RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
W32_API LONG RegDeleteValue(HKEY hKey, LPCSTR lpValueName);
W32_API LONG RegDeleteKey(HKEY hKey, LPCSTR lpSubKey);
W32_API LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
W32_API LONG RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
W32_API LONG RegQueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime);

/* Registry transactions (an extension of this layer): between
 * RegBeginTransaction and RegCommitTransaction every registry call of the
 * calling thread joins one transaction, so a batch of changes lands all at
 * once or, after RegRollbackTransaction (or a failed commit), not at all.
 * Transactions do not nest. Each returns ERROR_SUCCESS or an error code. */
W32_API LONG RegBeginTransaction(void);
W32_API LONG RegCommitTransaction(void);
W32_API LONG RegRollbackTransaction(void);
/* A read-only snapshot (also an extension): between RegBeginSnapshot and
 * RegRollbackTransaction (or RegCommitTransaction) every read of the calling
 * thread sees the registry as it was at the first read, while other
 * processes go on writing; a write call fails with ERROR_ACCESS_DENIED. */
W32_API LONG RegBeginSnapshot(void);

/* Reading a file that others name (an extension of this layer). Closing any
 * descriptor of the registry's database file in a process drops every lock
 * the process holds on it, so no file named by a product, a report table or
 * the report information directory may ever be opened if it is one of the
 * registry's own files. OpenFileForReading opens path for reading
 * (close-on-exec, non-blocking, never a controlling terminal) after checking,
 * on the file itself and not on its name, that it is none of them; status,
 * when not NULL, receives the opened file's status. Returns the descriptor,
 * which the caller closes, or -1 with errno set: EACCES for a registry file
 * (with a level-1 trace line), EAGAIN when path led to another file once
 * opened than when checked, otherwise the system's reason.
 * OpenFileForReadingAs does the same for a caller that has just queried
 * path's status itself (stat, links followed): the file checked is the one
 * `checked` describes, and the descriptor is returned only if it is that
 * file. */
W32_API int OpenFileForReading(LPCSTR path, struct stat *status);
W32_API int OpenFileForReadingAs(LPCSTR path, const struct stat *checked);

/* ---- Synchronisation objects -------------------------------------------- */
W32_API HANDLE CreateEvent(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
W32_API HANDLE OpenEvent(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
W32_API BOOL SetEvent(HANDLE hEvent);
W32_API BOOL ResetEvent(HANDLE hEvent);
W32_API HANDLE CreateMutex(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName);
W32_API BOOL ReleaseMutex(HANDLE hMutex);
W32_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
/* Waits on an event and a file descriptor at once (an extension of this
 * layer): returns WAIT_OBJECT_0 when the event was signalled (taken as
 * WaitForSingleObject takes it; the event wins when both are ready),
 * WAIT_OBJECT_0 + 1 when fd is readable (or has an error or hang-up
 * pending; nothing is read from it), WAIT_TIMEOUT, or WAIT_FAILED with
 * ERROR_INVALID_HANDLE for a handle that is not an open event and
 * ERROR_INVALID_PARAMETER for a descriptor that is not open. The thread
 * sleeps in one poll() until one of them is ready or the time is up. */
W32_API DWORD WaitForEventOrDescriptor(HANDLE hEvent, int fd, DWORD dwMilliseconds);
W32_API BOOL CloseHandle(HANDLE hObject);

/* ---- Modules -------------------------------------------------------------
 * LoadLibrary("X.dll") loads libX.so (lower-cased); the first load calls the
 * module's DllMain(module, DLL_PROCESS_ATTACH, NULL) when it exports one. */
W32_API HMODULE LoadLibrary(LPCSTR lpLibFileName);
W32_API BOOL FreeLibrary(HMODULE hLibModule);
W32_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

/* ---- The rest -------------------------------------------------------------- */
W32_API DWORD GetLastError(void);
W32_API void SetLastError(DWORD dwErrCode);
W32_API LONG CompareFileTime(const FILETIME *lpFileTime1, const FILETIME *lpFileTime2);
W32_API LPSTR lstrcpy(LPSTR lpString1, LPCSTR lpString2);
W32_API void Sleep(DWORD dwMilliseconds);

#ifdef __cplusplus
}
#endif

#endif /* W32COMPAT_H */
