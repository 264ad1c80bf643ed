// Buffer capacities of the records the library exchanges with the
// report-table copy library, and the holders of the blocks it allocates.
#pragma once

#include <cstdlib>
#include <memory>

#include "w32compat.h"

namespace amirtupt {

// A value whose length is not known in advance is read into this many bytes
// first, and again into a block of its own length when it did not fit.
inline constexpr DWORD kFirstReadSize = 508;
inline constexpr DWORD kNameCapacity = 4097;        // product and display names
inline constexpr DWORD kReportTableCapacity = 254;  // report table lists, registered paths
inline constexpr DWORD kVersionCapacity = 32;

// Blocks from AMACREAlloc and the name blocks of the enumerations go back
// with free.
struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <class T>
using Malloced = std::unique_ptr<T, FreeDeleter>;
using MallocBlock = Malloced<BYTE>;
using NameBlock = std::unique_ptr<char, FreeDeleter>;

}  // namespace amirtupt
