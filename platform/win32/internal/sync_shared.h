// Layout and helpers of the synchronisation objects of the Win32-compatibility
// layer (internal).
//
// A named event or mutex is one POSIX shared memory object "/orv.<name>"
// holding a SharedObject; every process that names it maps the same pages.
// An unnamed object is a SharedObject in an anonymous shared mapping of its
// process (a forked child shares it through the inherited mapping).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace w32::sync {

// Written last when an object has been initialised; a file without it was
// left half-made by a creator that died and is initialised again.
inline constexpr std::uint32_t kMagic = 0x4F525631u;

enum ObjectKind : std::uint32_t { kEventObject = 1, kMutexObject = 2 };

inline constexpr int kMaxHolders = 64;
inline constexpr int kMaxWaiters = 64;

// One process that has the object open, with the number of its mappings.
// The start time (from /proc) tells a live process from a later one that got
// the same pid.
struct Holder {
    std::int32_t pid;
    std::uint32_t count;
    std::uint64_t startTime;
};

enum SlotState : std::uint32_t { kSlotFree = 0, kSlotWaiting = 1, kSlotReleased = 2 };

// One thread waiting on an event. The waiter holds `life` (robust) for as
// long as it waits, so a signaller learns from EOWNERDEAD that the waiter
// died and hands the signal to someone else. The waiter sleeps on `word`.
struct alignas(64) WaitSlot {
    pthread_mutex_t life;
    std::uint32_t word;
    std::uint32_t state;
    std::uint64_t ticket;
    std::uint32_t ready;  // `life` initialised
    // Nonzero when the waiter sleeps in poll() beside a descriptor of its
    // own: the signaller also sends a datagram to the abstract socket named
    // after this number (see wakeAddress in sync.cpp).
    std::uint64_t wake;
};

struct SharedObject {
    std::uint32_t magic;
    std::uint32_t kind;
    std::uint32_t dead;  // unlinked: an opener that still reaches it starts again
    std::uint32_t manualReset;
    std::uint32_t signaled;
    std::uint32_t reserved;
    std::uint64_t nextTicket;
    pthread_mutex_t guard;  // robust, process-shared: every state change
    pthread_mutex_t mutex;  // robust, process-shared, recursive: the mutex object
    Holder holders[kMaxHolders];
    WaitSlot slots[kMaxWaiters];
};

// Shared memory object name for an object name: "/orv." followed by the
// name with every byte outside [A-Za-z0-9._-] written as %XX. Empty when the
// result would not fit a file name.
std::string shmNameFor(const char *name);

// The calling thread's kernel thread id (cached; right after fork too).
pid_t currentTid() noexcept;

}  // namespace w32::sync
