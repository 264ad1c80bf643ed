// Handle table of the Win32-compatibility layer (internal).
//
// Every HANDLE and HKEY this layer gives out is a key into one process-wide
// table, never a raw pointer: a stale, closed or made-up handle is simply not
// found (ERROR_INVALID_HANDLE) instead of being dereferenced. Handle values
// are never reused within a process and lie above 2^32, so they can never be
// mistaken for HKEY_LOCAL_MACHINE.
#pragma once

#include <memory>
#include <utility>

#include "w32compat.h"

namespace w32 {

enum class HandleKind { Key, Event, Mutex };

// An object behind a handle. Its destructor releases what the handle held
// (a named object's reference, a registry key's bookkeeping); it runs when
// the last handle (or in-flight call) lets go of it.
class HandleObject {
  public:
    virtual ~HandleObject() = default;
    virtual HandleKind kind() const noexcept = 0;
};

// Registers an object and returns its new handle; NULL when out of memory.
HANDLE handleInsert(std::shared_ptr<HandleObject> object) noexcept;

// The object behind a handle, or nullptr when the handle is not open.
std::shared_ptr<HandleObject> handleLookup(HANDLE handle) noexcept;

// The object behind a handle of the given kind, or nullptr.
template <class T>
std::shared_ptr<T> handleGet(HANDLE handle, HandleKind kind) noexcept {
    auto object = handleLookup(handle);
    if (!object || object->kind() != kind) return nullptr;
    return std::static_pointer_cast<T>(std::move(object));
}

// Takes a handle out of the table and returns its object (nullptr when the
// handle was not open). The object is destroyed when the caller's reference
// and any in-flight ones are gone.
std::shared_ptr<HandleObject> handleRemove(HANDLE handle) noexcept;

// As handleRemove, but only when the handle is of the given kind; a handle of
// another kind stays open.
std::shared_ptr<HandleObject> handleRemoveIf(HANDLE handle, HandleKind kind) noexcept;

}  // namespace w32
