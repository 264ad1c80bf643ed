// The registry of the Win32-compatibility layer: a tree of keys under
// HKEY_LOCAL_MACHINE, each with named, typed values, kept in the database of
// registry_store.h and shared by every process.
//
// Names compare without regard to ASCII case (bytes from 0x80 up compare
// exactly) and keep the spelling they were first written with. Subkeys
// enumerate in name order: the byte order of the names with ASCII letters
// upper-cased. Values enumerate in the order they were first written.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ascii.h"
#include "handles.h"
#include "registry_store.h"
#include "w32compat.h"

namespace w32::reg {
namespace {

// Longest key name of one path element and longest value name.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

// Where the last enumeration through a handle stopped, so that asking for
// the next index continues from there instead of counting from the start.
// It holds only while nothing in the database changed since: same
// connection, same data version, same number of the connection's own changes.
struct EnumStamp {
    std::uint64_t conn = 0;
    std::int64_t version = -1;
    std::int64_t changes = -1;
    bool operator==(const EnumStamp &) const = default;
};

struct EnumCursor {
    EnumStamp stamp;
    DWORD index = 0;
    std::string afterName;     // folded name of the subkey returned last
    std::int64_t afterId = 0;  // id of the value returned last
    bool follows(const EnumStamp &now, DWORD next) const {
        return next > 0 && next == index + 1 && stamp == now;
    }
};

// A key opened by RegOpenKey/RegCreateKey. The handle names the key by its
// id; ids are never reused, so a key deleted meanwhile is simply not found.
class RegKey final : public HandleObject {
  public:
    explicit RegKey(std::int64_t id) : id_(id) {}
    HandleKind kind() const noexcept override { return HandleKind::Key; }
    std::int64_t id() const noexcept { return id_; }

    std::mutex enumLock;
    EnumCursor subkeys;
    EnumCursor values;

  private:
    std::int64_t id_;
};

// The key id behind an HKEY, or 0 when the handle is not an open key.
std::int64_t keyId(HKEY key) noexcept {
    if (key == HKEY_LOCAL_MACHINE) return kRootKeyId;
    auto object = handleGet<RegKey>(key, HandleKind::Key);
    return object ? object->id() : 0;
}

EnumStamp stampOf(Connection &conn) {
    Query q(conn, Sql::DataVersion);
    std::int64_t version = q.step() ? q.integer(0) : -1;
    return {conn.serial(), version, sqlite3_total_changes64(conn.db())};
}

// Splits a key path at '\'. A trailing '\' is ignored; an empty path names
// the key itself. False for an empty name inside the path or a name longer
// than a key name may be.
bool splitPath(const char *path, std::vector<std::string_view> &names) {
    names.clear();
    if (path == nullptr) return true;
    std::string_view rest(path);
    if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    if (rest.empty()) return true;
    for (;;) {
        std::size_t cut = rest.find('\\');
        std::string_view name = rest.substr(0, cut);
        if (name.empty() || name.size() > kMaxKeyName) return false;
        names.push_back(name);
        if (cut == std::string_view::npos) return true;
        rest.remove_prefix(cut + 1);
    }
}

bool keyAlive(Connection &conn, std::int64_t id) {
    Query q(conn, Sql::KeyAlive);
    q.bind(1, id);
    return q.step();
}

// The id of parent's child of that folded name, 0 when there is none.
std::int64_t findChild(Connection &conn, std::int64_t parent, const std::string &folded) {
    Query q(conn, Sql::FindChild);
    q.bind(1, parent).bindBlob(2, folded);
    return q.step() ? q.integer(0) : 0;
}

// Raises a key's last-write time: `now`, or one tick past its last one when
// the clock has not moved on. False when the key no longer exists.
bool touch(Connection &conn, std::int64_t id, std::int64_t now = fileTimeNow()) {
    Query(conn, Sql::TouchKey).bind(1, id).bind(2, now).run();
    return conn.changes() != 0;
}

// Finds the key at names below base: 0 and *id set, 2 when a key on the path
// is missing, 1018 when base itself was deleted. A reading call may use and
// fill the connection's known children, the whole path as one of them; a
// changing one looks up every name.
LONG findPath(Connection &conn, std::int64_t base, const std::vector<std::string_view> &names,
              std::int64_t *id, bool reading) {
    // The names lie one after another in the caller's path, '\' between them.
    std::string_view whole;
    if (reading && names.size() > 1 && conn.keepsChildren()) {
        const char *first = names.front().data();
        whole = conn.foldPath(
            std::string_view(first, names.back().data() + names.back().size() - first));
        if (std::int64_t known = conn.knownChild(base, whole)) {
            *id = known;
            return ERROR_SUCCESS;
        }
    }
    std::int64_t current = base;
    for (std::string_view name : names) {
        std::string folded = orv::foldAscii(name);
        std::int64_t known = reading ? conn.knownChild(current, folded) : 0;
        if (known != 0) {
            current = known;
            continue;
        }
        std::int64_t child = findChild(conn, current, folded);
        if (child == 0) return keyAlive(conn, base) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
        if (reading) conn.rememberChild(current, folded, child);
        current = child;
    }
    if (names.empty() && !keyAlive(conn, base)) return ERROR_KEY_DELETED;
    if (!whole.empty()) conn.rememberChild(base, whole, current);
    *id = current;
    return ERROR_SUCCESS;
}

LONG newHandle(std::int64_t id, PHKEY result) {
    HANDLE handle = handleInsert(std::make_shared<RegKey>(id));
    if (handle == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    *result = static_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG openKey(const char *caller, HKEY key, LPCSTR subKey, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::int64_t base = keyId(key);
    if (base == 0) return ERROR_INVALID_HANDLE;
    std::vector<std::string_view> names;
    if (!splitPath(subKey, names)) return ERROR_INVALID_PARAMETER;
    std::int64_t id = 0;
    LONG rc = run(caller, Access::Single,
                  [&](Connection &conn) { return findPath(conn, base, names, &id, true); });
    if (rc != ERROR_SUCCESS) return rc;
    return newHandle(id, result);
}

LONG createKey(const char *caller, HKEY key, LPCSTR subKey, PHKEY result, LPDWORD disposition) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::int64_t base = keyId(key);
    if (base == 0) return ERROR_INVALID_HANDLE;
    std::vector<std::string_view> names;
    if (!splitPath(subKey, names)) return ERROR_INVALID_PARAMETER;
    std::int64_t id = 0;
    bool created = false;
    // Creating one key is its insert and its parent's new last-write time,
    // made without a savepoint (a failure between the two dooms the thread's
    // transaction); creating several levels takes the call's savepoint. A
    // call that finds it must create more than one level asks for the
    // savepoint before it changes anything.
    constexpr LONG kNeedsSavepoint = -1;
    auto body = [&](Connection &conn, bool oneInsertOnly) -> LONG {
        created = false;
        if (names.empty() && !keyAlive(conn, base)) return ERROR_KEY_DELETED;
        std::int64_t current = base;
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::string_view name = names[i];
            std::string folded = orv::foldAscii(name);
            const bool last = i + 1 == names.size();
            if (!created && !last) {
                if (std::int64_t child = findChild(conn, current, folded)) {
                    current = child;
                    continue;
                }
                if (oneInsertOnly) return kNeedsSavepoint;
            }
            // The last name is inserted without looking first: when the key
            // exists, the insert does nothing and the key is looked up.
            const std::int64_t now = fileTimeNow();
            Query(conn, Sql::InsertKey)
                .bind(1, current)
                .bindBlob(2, name)
                .bindBlob(3, folded)
                .bind(4, now)
                .run();
            if (conn.changes() == 0) {  // only a key of that name stops it
                current = findChild(conn, current, folded);
                break;
            }
            const std::int64_t parent = current;
            current = conn.lastInsertId();
            // A key found on the path or made by this call is alive; base
            // may have been deleted under its handle, and a key made right
            // below it then goes again.
            if (!touch(conn, parent, now)) {
                Query(conn, Sql::DeleteKey).bind(1, current).run();
                return ERROR_KEY_DELETED;
            }
            created = true;
        }
        id = current;
        return ERROR_SUCCESS;
    };
    LONG rc = run(caller, Access::Statement, [&](Connection &conn) { return body(conn, true); });
    if (rc == kNeedsSavepoint) {
        rc = run(caller, Access::Write, [&](Connection &conn) { return body(conn, false); });
    }
    if (rc != ERROR_SUCCESS) return rc;
    rc = newHandle(id, result);
    if (rc == ERROR_SUCCESS && disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return rc;
}

std::string_view valueName(LPCSTR name) {
    return name != nullptr ? name : "";
}

LONG setValue(HKEY key, LPCSTR name, DWORD type, const BYTE *data, DWORD size) {
    std::int64_t id = keyId(key);
    if (id == 0) return ERROR_INVALID_HANDLE;
    std::string_view vname = valueName(name);
    if (vname.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
    if ((type == REG_DWORD && size != 4) || (type == REG_QWORD && size != 8)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string folded = orv::foldAscii(vname);
    return run("RegSetValueEx", Access::Statement, [&](Connection &conn) -> LONG {
        // The value's write time is the key's new last-write time: one
        // changed row, where raising the key's own time would be a second.
        std::int64_t last = 0;
        {
            Query q(conn, Sql::KeyTime);
            q.bind(1, id);
            if (!q.step()) return ERROR_KEY_DELETED;
            last = q.integer(0);
        }
        Query(conn, Sql::UpsertValue)
            .bind(1, id)
            .bindBlob(2, vname)
            .bindBlob(3, folded)
            .bind(4, type)
            .bindBlob(5, data, size)
            .bind(6, std::max(fileTimeNow(), last + 1))
            .run();
        return ERROR_SUCCESS;
    });
}

// Hands out bytes with the registry's size rules: no buffer, the size only;
// too small a buffer, ERROR_MORE_DATA and the needed size, the buffer untouched.
LONG copyData(std::string_view bytes, LPBYTE data, LPDWORD size) {
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed != 0) std::memcpy(data, bytes.data(), needed);
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
}

LONG queryValue(HKEY key, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    std::int64_t id = keyId(key);
    if (id == 0) return ERROR_INVALID_HANDLE;
    std::string folded = orv::foldAscii(valueName(name));
    return run("RegQueryValueEx", Access::Single, [&](Connection &conn) -> LONG {
        Query q(conn, Sql::QueryValue);
        q.bind(1, id).bindBlob(2, folded);
        // A deleted key takes its values with it, so a value found means a
        // live key; only a missing value needs a look at the key.
        if (!q.step()) return keyAlive(conn, id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
        if (type != nullptr) *type = static_cast<DWORD>(q.integer(0));
        return copyData(q.blob(1), data, size);
    });
}

LONG deleteValue(HKEY key, LPCSTR name) {
    std::int64_t id = keyId(key);
    if (id == 0) return ERROR_INVALID_HANDLE;
    std::string folded = orv::foldAscii(valueName(name));
    return run("RegDeleteValue", Access::Write, [&](Connection &conn) -> LONG {
        if (!touch(conn, id)) return ERROR_KEY_DELETED;
        Query(conn, Sql::DeleteValue).bind(1, id).bindBlob(2, folded).run();
        // A missing value rolls the call back, last-write time included.
        return conn.changes() != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG deleteKey(HKEY key, LPCSTR subKey) {
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::int64_t base = keyId(key);
    if (base == 0) return ERROR_INVALID_HANDLE;
    std::vector<std::string_view> names;
    if (!splitPath(subKey, names)) return ERROR_INVALID_PARAMETER;
    return run("RegDeleteKey", Access::Write, [&](Connection &conn) -> LONG {
        std::int64_t target = 0;
        LONG rc = findPath(conn, base, names, &target, false);
        if (rc != ERROR_SUCCESS) return rc;
        if (target == kRootKeyId) return ERROR_ACCESS_DENIED;
        {
            Query sub(conn, Sql::HasSubkeys);
            sub.bind(1, target);
            if (sub.step()) return ERROR_ACCESS_DENIED;
        }
        std::int64_t parent = 0;
        {
            Query q(conn, Sql::KeyParent);
            q.bind(1, target);
            if (!q.step()) return ERROR_KEY_DELETED;
            parent = q.integer(0);
        }
        Query(conn, Sql::DeleteKeyValues).bind(1, target).run();
        Query(conn, Sql::DeleteKey).bind(1, target).run();
        touch(conn, parent);
        return ERROR_SUCCESS;
    });
}

void setFileTime(PFILETIME out, std::int64_t ticks) {
    if (out == nullptr) return;
    auto value = static_cast<std::uint64_t>(ticks);
    out->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// Copies a name with its NUL when *chars (the capacity, NUL included) allows;
// otherwise ERROR_MORE_DATA with the needed capacity in *chars.
LONG copyName(std::string_view name, LPSTR out, LPDWORD chars) {
    if (*chars < name.size() + 1) {
        *chars = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    // The default value's name is empty and may have no storage at all.
    if (!name.empty()) std::memcpy(out, name.data(), name.size());
    out[name.size()] = '\0';
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void emptyClass(LPSTR cls, LPDWORD chars) {
    if (chars == nullptr) return;
    if (cls != nullptr && *chars > 0) cls[0] = '\0';
    *chars = 0;
}

LONG enumKey(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPSTR cls, LPDWORD clsChars,
             PFILETIME lastWrite) {
    if (name == nullptr || nameChars == nullptr) return ERROR_INVALID_PARAMETER;
    std::int64_t id = kRootKeyId;
    std::shared_ptr<RegKey> object;
    if (key != HKEY_LOCAL_MACHINE) {
        object = handleGet<RegKey>(key, HandleKind::Key);
        if (!object) return ERROR_INVALID_HANDLE;
        id = object->id();
    }
    std::unique_lock<std::mutex> lock;
    if (object) lock = std::unique_lock(object->enumLock);
    return run("RegEnumKeyEx", Access::Single, [&](Connection &conn) -> LONG {
        EnumStamp stamp = object ? stampOf(conn) : EnumStamp{};
        bool follow = object && object->subkeys.follows(stamp, index);
        std::string folded;
        {
            Query q(conn, follow ? Sql::EnumKeyAfter : Sql::EnumKey);
            q.bind(1, id);
            if (follow) {
                q.bindBlob(2, object->subkeys.afterName);
            } else {
                q.bind(2, index);
            }
            // A key with subkeys cannot be deleted: a row found means a live key.
            if (!q.step()) return keyAlive(conn, id) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
            LONG rc = copyName(q.blob(0), name, nameChars);
            if (rc != ERROR_SUCCESS) return rc;
            emptyClass(cls, clsChars);
            setFileTime(lastWrite, q.integer(1));
            if (object) folded = q.blob(2);
        }
        if (object) {
            object->subkeys.stamp = stamp;
            object->subkeys.index = index;
            object->subkeys.afterName = std::move(folded);
        }
        return ERROR_SUCCESS;
    });
}

LONG enumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD type, LPBYTE data,
               LPDWORD size) {
    if (name == nullptr || nameChars == nullptr) return ERROR_INVALID_PARAMETER;
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    std::int64_t id = kRootKeyId;
    std::shared_ptr<RegKey> object;
    if (key != HKEY_LOCAL_MACHINE) {
        object = handleGet<RegKey>(key, HandleKind::Key);
        if (!object) return ERROR_INVALID_HANDLE;
        id = object->id();
    }
    std::unique_lock<std::mutex> lock;
    if (object) lock = std::unique_lock(object->enumLock);
    return run("RegEnumValue", Access::Single, [&](Connection &conn) -> LONG {
        EnumStamp stamp = object ? stampOf(conn) : EnumStamp{};
        bool follow = object && object->values.follows(stamp, index);
        Query q(conn, follow ? Sql::EnumValueAfter : Sql::EnumValue);
        q.bind(1, id).bind(2, follow ? object->values.afterId : std::int64_t{index});
        // A deleted key takes its values with it: a row found means a live key.
        if (!q.step()) return keyAlive(conn, id) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
        std::string_view vname = q.blob(0);
        std::string_view bytes = q.blob(2);
        // Check both sizes before writing anything, so that a too small
        // buffer leaves the caller's buffers as they were.
        bool nameFits = *nameChars >= vname.size() + 1;
        bool dataFits = data == nullptr || *size >= bytes.size();
        if (type != nullptr) *type = static_cast<DWORD>(q.integer(1));
        if (!nameFits || !dataFits) {
            if (!nameFits) *nameChars = static_cast<DWORD>(vname.size() + 1);
            if (size != nullptr) *size = static_cast<DWORD>(bytes.size());
            return ERROR_MORE_DATA;
        }
        copyName(vname, name, nameChars);
        LONG rc = copyData(bytes, data, size);
        if (object && rc == ERROR_SUCCESS) {
            object->values.stamp = stamp;
            object->values.index = index;
            object->values.afterId = q.integer(3);
        }
        return rc;
    });
}

LONG queryInfo(HKEY key, LPSTR cls, LPDWORD clsChars, LPDWORD subKeys, LPDWORD maxSubKeyLen,
               LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
               LPDWORD securityDescriptor, PFILETIME lastWrite) {
    std::int64_t id = keyId(key);
    if (id == 0) return ERROR_INVALID_HANDLE;
    // Asked for the last-write time alone, the key's subkeys and values are
    // not counted and measured.
    const bool timeOnly = cls == nullptr && clsChars == nullptr && subKeys == nullptr &&
                          maxSubKeyLen == nullptr && maxClassLen == nullptr && values == nullptr &&
                          maxValueNameLen == nullptr && maxValueLen == nullptr &&
                          securityDescriptor == nullptr;
    return run("RegQueryInfoKey", Access::Single, [&](Connection &conn) -> LONG {
        if (timeOnly) {
            Query q(conn, Sql::KeyTime);
            q.bind(1, id);
            if (!q.step()) return ERROR_KEY_DELETED;
            setFileTime(lastWrite, q.integer(0));
            return ERROR_SUCCESS;
        }
        Query q(conn, Sql::KeyInfo);
        q.bind(1, id);
        if (!q.step()) return ERROR_KEY_DELETED;
        auto put = [](LPDWORD out, std::int64_t value) {
            if (out != nullptr) *out = static_cast<DWORD>(value);
        };
        emptyClass(cls, clsChars);
        setFileTime(lastWrite, q.integer(0));
        put(subKeys, q.integer(1));
        put(maxSubKeyLen, q.integer(2));
        put(maxClassLen, 0);
        put(values, q.integer(3));
        put(maxValueNameLen, q.integer(4));
        put(maxValueLen, q.integer(5));
        put(securityDescriptor, 0);
        return ERROR_SUCCESS;
    });
}

LONG closeKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return handleRemoveIf(key, HandleKind::Key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Runs an exported call's work; nothing thrown gets past the C boundary.
template <class F>
LONG guarded(F &&work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return kErrorRegistryIoFailed;
    }
}

}  // namespace
}  // namespace w32::reg

using namespace w32::reg;

extern "C" {

W32_API LONG RegCreateKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return guarded([&] { return createKey("RegCreateKey", hKey, lpSubKey, phkResult, nullptr); });
}

W32_API LONG RegOpenKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return guarded([&] { return openKey("RegOpenKey", hKey, lpSubKey, phkResult); });
}

W32_API LONG RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                            DWORD /*dwOptions*/, REGSAM /*samDesired*/,
                            LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    return guarded(
        [&] { return createKey("RegCreateKeyEx", hKey, lpSubKey, phkResult, lpdwDisposition); });
}

W32_API LONG RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM /*samDesired*/,
                          PHKEY phkResult) {
    return guarded([&] { return openKey("RegOpenKeyEx", hKey, lpSubKey, phkResult); });
}

W32_API LONG RegCloseKey(HKEY hKey) {
    return guarded([&] { return closeKey(hKey); });
}

W32_API LONG RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                           const BYTE *lpData, DWORD cbData) {
    return guarded([&] { return setValue(hKey, lpValueName, dwType, lpData, cbData); });
}

W32_API LONG RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD /*lpReserved*/, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    return guarded([&] { return queryValue(hKey, lpValueName, lpType, lpData, lpcbData); });
}

W32_API LONG RegDeleteValue(HKEY hKey, LPCSTR lpValueName) {
    return guarded([&] { return deleteValue(hKey, lpValueName); });
}

W32_API LONG RegDeleteKey(HKEY hKey, LPCSTR lpSubKey) {
    return guarded([&] { return deleteKey(hKey, lpSubKey); });
}

W32_API LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD /*lpReserved*/, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    return guarded([&] {
        return enumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
    });
}

W32_API LONG RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD /*lpReserved*/, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return guarded([&] {
        return enumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
    });
}

W32_API LONG RegQueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD /*lpReserved*/,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
    return guarded([&] {
        return queryInfo(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                         lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor,
                         lpftLastWriteTime);
    });
}

W32_API LONG RegBeginTransaction(void) {
    return beginTransaction();
}

W32_API LONG RegBeginSnapshot(void) {
    return beginTransaction(/*snapshot=*/true);
}

W32_API LONG RegCommitTransaction(void) {
    return commitTransaction();
}

W32_API LONG RegRollbackTransaction(void) {
    return rollbackTransaction();
}

}  // extern "C"
