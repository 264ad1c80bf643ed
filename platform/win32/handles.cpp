// Handle table of the Win32-compatibility layer.
#include "handles.h"

#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace w32 {
namespace {

struct Table {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> objects;
    std::uintptr_t next = std::uintptr_t{1} << 32;
};

// Never destroyed: handles may be closed from other libraries' destructors
// at process exit.
Table &table() {
    static Table *t = new Table;
    return *t;
}

// A forked child must not inherit the table locked by a thread that does not
// exist in it.
[[maybe_unused]] const bool g_forkHandlers = [] {
    table();
    pthread_atfork([] { table().lock.lock(); }, [] { table().lock.unlock(); },
                   [] { table().lock.unlock(); });
    return true;
}();

}  // namespace

HANDLE handleInsert(std::shared_ptr<HandleObject> object) noexcept {
    if (!object) return nullptr;
    Table &t = table();
    try {
        std::lock_guard guard(t.lock);
        std::uintptr_t value = t.next;
        t.objects.emplace(value, std::move(object));
        t.next += 4;
        return reinterpret_cast<HANDLE>(value);
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<HandleObject> handleLookup(HANDLE handle) noexcept {
    Table &t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> handleRemove(HANDLE handle) noexcept {
    Table &t = table();
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.objects.end()) return nullptr;
        object = std::move(it->second);
        t.objects.erase(it);
    }
    return object;
}

std::shared_ptr<HandleObject> handleRemoveIf(HANDLE handle, HandleKind kind) noexcept {
    Table &t = table();
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.objects.end() || it->second->kind() != kind) return nullptr;
        object = std::move(it->second);
        t.objects.erase(it);
    }
    return object;
}

}  // namespace w32
