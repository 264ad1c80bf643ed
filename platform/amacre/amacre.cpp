// Registry-access library: value reads over the registry of the
// Win32-compatibility layer and the blocks its callers read values into.
//
// Blocks from AMACREAlloc are allocated in whole 16-byte granules (at least
// one), and AMACREAdjustSize reports that granule-rounded size: a caller may
// use every byte up to the adjusted size, and with AMACRE_ZEROINIT all of
// them are zero.
#include "amacre.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "qortrace.h"

namespace {

constexpr const char kTraceSource[] = "amacre";
constexpr std::uint64_t kGranule = 16;

// The usable capacity of a block asked for with size bytes.
std::uint64_t capacityFor(std::uint64_t size) {
    std::uint64_t rounded = (size + kGranule - 1) / kGranule * kGranule;
    return rounded == 0 ? kGranule : rounded;
}

const char *text(const char *s) {
    return s != nullptr ? s : "NULL";
}

// keyPath\subkeyName, leaving out empty parts.
std::string joinPath(const char *keyPath, const char *subkeyName) {
    std::string path = keyPath != nullptr ? keyPath : "";
    if (subkeyName != nullptr && *subkeyName != '\0') {
        if (!path.empty() && path.back() != '\\') path += '\\';
        path += subkeyName;
    }
    return path;
}

// Reads one value; a Win32 error code, ERROR_SUCCESS on success.
LONG readValue(HKEY root, const std::string &path, const char *valueName, LPDWORD type, LPVOID data,
               LPDWORD size) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyEx(root, path.c_str(), /*ulOptions=*/0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegQueryValueEx(key, valueName, /*lpReserved=*/nullptr, type, static_cast<LPBYTE>(data),
                         size);
    RegCloseKey(key);
    return rc;
}

// A read that did not succeed: the reason goes to the trace log and into the
// last error. A too small buffer is the expected first step of reading a
// value of unknown length, so it is traced as detail, not as an error.
BOOL failRead(const char *function, const std::string &path, const char *valueName, LONG rc,
              LPDWORD size) {
    if (rc == ERROR_MORE_DATA) {
        TraceLog(0, kTraceSource, function, __LINE__, "%s value %s needs %u bytes", path.c_str(),
                 text(valueName), size != nullptr ? *size : 0u);
    } else {
        TraceLog(1, kTraceSource, function, __LINE__, "cannot read %s value %s: error %d",
                 path.c_str(), text(valueName), static_cast<int>(rc));
    }
    SetLastError(static_cast<DWORD>(rc));
    return FALSE;
}

BOOL readValueTraced(const char *function, HKEY root, const char *keyPath, const char *subkeyName,
                     const char *valueName, LPDWORD type, LPVOID data, LPDWORD size) {
    std::string path;
    try {
        path = joinPath(keyPath, subkeyName);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (size == nullptr) {
        return failRead(function, path, valueName, ERROR_INVALID_PARAMETER, nullptr);
    }
    LONG rc = readValue(root, path, valueName, type, data, size);
    if (rc != ERROR_SUCCESS) return failRead(function, path, valueName, rc, size);
    return TRUE;
}

}  // namespace

extern "C" {

AMACRE_API BOOL AMACREGetSubkeyValue(HKEY root, LPCSTR keyPath, LPCSTR subkeyName, LPCSTR valueName,
                                     LPVOID data, LPDWORD size) {
    return readValueTraced("AMACREGetSubkeyValue", root, keyPath, subkeyName, valueName, nullptr,
                           data, size);
}

AMACRE_API BOOL AMACRERegReadEx(HKEY root, LPCSTR keyPath, LPCSTR valueName, LPDWORD type,
                                LPDWORD size, LPVOID data) {
    return readValueTraced("AMACRERegReadEx", root, keyPath, nullptr, valueName, type, data, size);
}

AMACRE_API LPVOID AMACREAlloc(DWORD flags, DWORD size) {
    std::uint64_t capacity = capacityFor(size);
    void *block = (flags & AMACRE_ZEROINIT) != 0 ? std::calloc(1, capacity) : std::malloc(capacity);
    if (block == nullptr) {
        TraceLog(1, kTraceSource, "AMACREAlloc", __LINE__, "cannot allocate %u bytes",
                 static_cast<unsigned>(size));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

AMACRE_API BOOL AMACREAdjustSize(LPDWORD size) {
    if (size == nullptr) {
        TraceLog(1, kTraceSource, "AMACREAdjustSize", __LINE__, "no size given");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::uint64_t capacity = capacityFor(*size);
    // Beyond what a DWORD holds, the size asked for is still a usable capacity.
    if (capacity <= UINT32_MAX) *size = static_cast<DWORD>(capacity);
    return TRUE;
}

}  // extern "C"
