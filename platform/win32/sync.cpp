// Events and mutexes of the Win32-compatibility layer, and CloseHandle.
//
// Lifetime of a named object: the shared memory object records which
// processes hold it (pid, start time, number of mappings). Opening and
// creating run under flock() of a freshly opened descriptor of the object,
// so only one process initialises a new file and nobody maps a half-made
// one; every change of the holder table runs under the object's robust
// guard mutex. The process that drops the last live holder marks the object
// dead and unlinks it while holding the guard; an opener that reached the
// old file before the unlink sees the mark (or a link count of 0) and starts
// again. Holders whose process has ended are pruned whenever the table is
// looked at, so the object of a crashed process is unlinked and made afresh
// by the next creator.
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "deadline.h"
#include "file_access.h"
#include "handles.h"
#include "qortrace.h"
#include "sync_shared.h"
#include "unique_fd.h"
#include "w32compat.h"

namespace w32::sync {
namespace {

using orv::deadlineAfter;
using orv::UniqueFd;

constexpr const char kSource[] = "w32compat";
constexpr std::size_t kObjectSize = (sizeof(SharedObject) + 4095) & ~std::size_t{4095};

#define SYNC_TRACE(level, function, ...) \
    ::TraceLog((level), kSource, (function), __LINE__, __VA_ARGS__)

// ---- process identity ---------------------------------------------------

// Bumped in a forked child so thread-local caches of ids are refreshed.
std::atomic<std::uint64_t> g_forkGeneration{1};

struct SelfIdentity {
    pid_t pid = 0;
    std::uint64_t startTime = 0;
};
SelfIdentity g_self;
std::atomic<std::uint64_t> g_selfGeneration{0};
std::mutex g_selfLock;  // held across fork, so a child never inherits it locked

// Reads state and start time of a process from /proc/<pid>/stat without
// allocating (it also runs in a forked child). False when the process is gone.
bool readProcStat(pid_t pid, char *state, std::uint64_t *startTime) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n;
    do {
        n = ::read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // The command name may hold spaces and parentheses: fields start after
    // the last ')'. Field 3 is the state, field 22 the start time.
    char *p = std::strrchr(buf, ')');
    if (p == nullptr) return false;
    ++p;
    int field = 2;
    char *save = nullptr;
    for (char *tok = strtok_r(p, " ", &save); tok != nullptr; tok = strtok_r(nullptr, " ", &save)) {
        ++field;
        if (field == 3) *state = tok[0];
        if (field == 22) {
            *startTime = std::strtoull(tok, nullptr, 10);
            return true;
        }
    }
    return false;
}

// Caller holds g_selfLock (or is the only thread of a forked child).
void refreshSelf(std::uint64_t generation) noexcept {
    g_self.pid = ::getpid();
    char state = 0;
    if (!readProcStat(g_self.pid, &state, &g_self.startTime)) g_self.startTime = 0;
    g_selfGeneration.store(generation, std::memory_order_release);
}

const SelfIdentity &self() noexcept {
    std::uint64_t gen = g_forkGeneration.load(std::memory_order_acquire);
    if (g_selfGeneration.load(std::memory_order_acquire) == gen) return g_self;
    std::lock_guard guard(g_selfLock);
    if (g_selfGeneration.load(std::memory_order_acquire) != gen) refreshSelf(gen);
    return g_self;
}

// True while the process that registered (pid, startTime) still runs; a
// zombie or a later process under a reused pid counts as gone.
bool processAlive(pid_t pid, std::uint64_t startTime) noexcept {
    if (pid == self().pid) return true;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    char state = 0;
    std::uint64_t start = 0;
    if (!readProcStat(pid, &state, &start)) return false;
    if (state == 'Z' || state == 'X' || state == 'x') return false;
    return startTime == 0 || start == startTime;
}

// ---- small wrappers -------------------------------------------------------

// An exclusive flock() on a descriptor, let go explicitly: a mapping of the
// file keeps its open file description, and with it the lock, alive after
// the descriptor is closed.
class FileLock {
  public:
    explicit FileLock(int fd) : fd_(fd) {
        int rc;
        do {
            rc = ::flock(fd_, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        locked_ = rc == 0;
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    ~FileLock() {
        if (locked_) ::flock(fd_, LOCK_UN);
    }
    bool locked() const { return locked_; }

  private:
    int fd_;
    bool locked_ = false;
};

// A mapped SharedObject; unmapped on destruction unless released.
class MappedObject {
  public:
    MappedObject() = default;
    explicit MappedObject(void *p) : p_(p) {}
    MappedObject(MappedObject &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    MappedObject &operator=(MappedObject &&other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    MappedObject(const MappedObject &) = delete;
    MappedObject &operator=(const MappedObject &) = delete;
    ~MappedObject() { reset(); }
    SharedObject *get() const { return static_cast<SharedObject *>(p_); }
    SharedObject *operator->() const { return get(); }
    explicit operator bool() const { return p_ != nullptr; }
    SharedObject *release() { return static_cast<SharedObject *>(std::exchange(p_, nullptr)); }
    void reset() {
        if (p_ != nullptr) ::munmap(p_, kObjectSize);
        p_ = nullptr;
    }

  private:
    void *p_ = nullptr;
};

// ---- checks of what other processes can write ------------------------------

// A state change holds the guard for microseconds; a guard held this long
// belongs to no live state change.
constexpr DWORD kGuardPatienceMs = 10000;
// Thread ids stay below this (the kernel's highest pid_max).
constexpr std::uint32_t kTidLimit = 1u << 22;

bool initRobustMutex(pthread_mutex_t *mutex, bool recursive);

// The type and flags glibc keeps for a robust process-shared mutex of this
// layer, read off one made here.
int mutexKind(bool recursive) {
    static const int kinds[2] = {[] {
                                     pthread_mutex_t m;
                                     return initRobustMutex(&m, false) ? m.__data.__kind : -1;
                                 }(),
                                 [] {
                                     pthread_mutex_t m;
                                     return initRobustMutex(&m, true) ? m.__data.__kind : -1;
                                 }()};
    return kinds[recursive ? 1 : 0];
}

// True when the bytes can be a mutex of this layer: its kind, an owner that
// can be a thread id (or one of glibc's marks of a dead owner) and a sane
// recursion count.
bool saneMutex(const pthread_mutex_t &mutex, bool recursive) {
    const auto &data = mutex.__data;
    std::uint32_t tid = static_cast<std::uint32_t>(data.__lock) & FUTEX_TID_MASK;
    std::uint32_t owner = static_cast<std::uint32_t>(data.__owner);
    bool ownerMark = owner == 0x7fffffffu || owner == 0x7ffffffeu;
    return data.__kind == mutexKind(recursive) && tid < kTidLimit &&
           (owner < kTidLimit || ownerMark) && data.__count < (1u << 24);
}

bool saneHeader(const SharedObject &object) {
    return object.magic == kMagic && (object.kind == kEventObject || object.kind == kMutexObject) &&
           object.dead <= 1 && object.manualReset <= 1 && object.signaled <= 1 &&
           saneMutex(object.mutex, /*recursive=*/true);
}

bool saneSlot(const WaitSlot &slot) {
    return slot.state <= kSlotReleased && slot.ready <= 1 && slot.word <= 1 &&
           (slot.ready == 0 ? slot.state == kSlotFree : saneMutex(slot.life, false));
}

// The whole object, checked once when a process first maps it.
bool saneObject(const SharedObject &object) {
    if (!saneHeader(object)) return false;
    for (const Holder &h : object.holders) {
        if (h.pid < 0 || static_cast<std::uint32_t>(h.pid) >= kTidLimit) return false;
        if ((h.count == 0) != (h.pid == 0) || h.count > (1u << 24)) return false;
    }
    for (const WaitSlot &slot : object.slots) {
        if (!saneSlot(slot)) return false;
    }
    return true;
}

// Holds an object's guard mutex; a guard left locked by a dead process is
// taken over (the object's fields are only ever updated whole under it).
//
// Whatever another process can write is checked before it is followed: a
// guard that is not a mutex of this layer, or one held far longer than any
// state change takes, or a header that is no object's, makes the object
// damaged (a level-1 trace line; the call fails).
class GuardLock {
  public:
    explicit GuardLock(SharedObject *object) : mutex_(&object->guard) {
        if (!saneMutex(*mutex_, /*recursive=*/false)) {
            SYNC_TRACE(1, "GuardLock", "shared object damaged: its guard is no mutex");
            return;
        }
        timespec deadline = deadlineAfter(kGuardPatienceMs);
        int rc = pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline);
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(mutex_);
            rc = 0;
        }
        if (rc != 0) {
            SYNC_TRACE(1, "GuardLock", "shared object damaged: its guard cannot be had (%s)",
                       std::strerror(rc));
            return;
        }
        locked_ = true;
        if (!saneHeader(*object)) {
            SYNC_TRACE(1, "GuardLock", "shared object damaged: its header is no object's");
            pthread_mutex_unlock(mutex_);
            locked_ = false;
        }
    }
    GuardLock(const GuardLock &) = delete;
    GuardLock &operator=(const GuardLock &) = delete;
    ~GuardLock() {
        if (locked_) pthread_mutex_unlock(mutex_);
    }
    bool locked() const { return locked_; }

  private:
    pthread_mutex_t *mutex_;
    bool locked_ = false;
};

bool initRobustMutex(pthread_mutex_t *mutex, bool recursive) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              (!recursive || pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0) &&
              pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

std::uint32_t loadWord(const std::uint32_t *word) {
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
void storeWord(std::uint32_t *word, std::uint32_t value) {
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

// Sleeps while *word == expected, until an absolute CLOCK_MONOTONIC
// deadline (nullptr: no limit). Returns 0 or an errno value (ETIMEDOUT).
int futexWait(std::uint32_t *word, std::uint32_t expected, const timespec *deadline) {
    long rc = ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, deadline, nullptr,
                        FUTEX_BITSET_MATCH_ANY);
    return rc == 0 ? 0 : errno;
}

void futexWake(std::uint32_t *word, int count) {
    ::syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// ---- holder table ---------------------------------------------------------

// Drops holders whose process has ended; returns the number of live ones.
int pruneHolders(SharedObject *object) {
    int live = 0;
    for (Holder &h : object->holders) {
        if (h.count == 0) continue;
        if (processAlive(h.pid, h.startTime)) {
            ++live;
        } else {
            h = Holder{};
        }
    }
    return live;
}

bool addHolder(SharedObject *object) {
    const SelfIdentity &me = self();
    Holder *freeSlot = nullptr;
    for (Holder &h : object->holders) {
        if (h.count != 0 && h.pid == me.pid) {
            ++h.count;
            return true;
        }
        if (h.count == 0 && freeSlot == nullptr) freeSlot = &h;
    }
    if (freeSlot == nullptr) {
        pruneHolders(object);
        for (Holder &h : object->holders) {
            if (h.count == 0) {
                freeSlot = &h;
                break;
            }
        }
    }
    if (freeSlot == nullptr) return false;
    *freeSlot = Holder{me.pid, 1, me.startTime};
    return true;
}

// Removes one mapping of this process; true when the object has no live
// holder left afterwards.
bool removeHolder(SharedObject *object) {
    const pid_t me = self().pid;
    bool others = false;
    for (Holder &h : object->holders) {
        if (h.count == 0) continue;
        if (h.pid == me) {
            if (--h.count == 0) h = Holder{};
            if (h.count != 0) return false;
        } else {
            others = true;
        }
    }
    return !others || pruneHolders(object) == 0;
}

// Initialises an object; `zeroed` when its memory is known to be all zero
// (a new file), which spares touching the waiter slots' pages.
void initObject(SharedObject *object, std::uint32_t kind, bool manualReset, bool initialState,
                bool zeroed) {
    if (!zeroed) std::memset(static_cast<void *>(object), 0, sizeof *object);
    object->kind = kind;
    object->manualReset = manualReset ? 1 : 0;
    object->signaled = initialState ? 1 : 0;
    initRobustMutex(&object->guard, false);
    initRobustMutex(&object->mutex, true);
}

// True when a live thread of this process owns the mutex of the object: its
// mapping must then stay, since that thread's robust list points into it.
bool ownedByLiveThreadHere(SharedObject *object) {
    if (object->kind != kMutexObject) return false;
    int word = __atomic_load_n(&object->mutex.__data.__lock, __ATOMIC_ACQUIRE);
    pid_t tid = word & FUTEX_TID_MASK;
    if (tid == 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d", static_cast<int>(tid));
    return ::access(path, F_OK) == 0;
}

// ---- mappings -------------------------------------------------------------

// One mapping of an object in this process, shared by all its handles.
class Mapping {
  public:
    Mapping(std::string shmName, std::string name, SharedObject *object)
        : shmName_(std::move(shmName)), name_(std::move(name)), object_(object) {}
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping();

    SharedObject *object() const { return object_; }
    const std::string &name() const { return name_; }
    bool named() const { return !shmName_.empty(); }
    // Registers a forked child as a holder of this mapping.
    void adoptInChild() noexcept;
    // Drops this process's share of the object now (once).
    void releaseHolder() noexcept;

  private:
    std::string shmName_;
    std::string name_;
    SharedObject *object_;
    std::atomic<bool> released_{false};
};

// Named mappings of this process by shared memory name.
struct MappingRegistry {
    std::mutex lock;
    std::unordered_map<std::string, std::weak_ptr<Mapping>> byName;
};

MappingRegistry &registry() {
    static MappingRegistry *r = new MappingRegistry;  // outlives every handle
    return *r;
}

void Mapping::releaseHolder() noexcept {
    if (!named()) return;
    GuardLock guard(object_);
    if (!guard.locked() || released_.exchange(true)) return;
    if (object_->dead == 0 && removeHolder(object_)) {
        object_->dead = 1;
        ::shm_unlink(shmName_.c_str());
    }
}

Mapping::~Mapping() {
    if (named()) {
        releaseHolder();
        MappingRegistry &r = registry();
        std::lock_guard lock(r.lock);
        auto it = r.byName.find(shmName_);
        if (it != r.byName.end() && it->second.expired()) r.byName.erase(it);
    }
    if (!ownedByLiveThreadHere(object_)) ::munmap(object_, kObjectSize);
}

void Mapping::adoptInChild() noexcept {
    if (!named()) return;
    GuardLock guard(object_);
    if (guard.locked() && object_->dead == 0) addHolder(object_);
}

// A forked child shares its parent's mappings and becomes a holder of each
// named object in its own right: the object stays while the child lives,
// and the child's CloseHandle (or end) drops only the child's share.
void forkPrepare() {
    g_selfLock.lock();
    registry().lock.lock();
}
void forkParent() {
    registry().lock.unlock();
    g_selfLock.unlock();
}
void forkChild() {
    refreshSelf(g_forkGeneration.fetch_add(1, std::memory_order_acq_rel) + 1);
    MappingRegistry &r = registry();
    for (auto &entry : r.byName) {
        if (auto mapping = entry.second.lock()) mapping->adoptInChild();
    }
    r.lock.unlock();
    g_selfLock.unlock();
}

// At exit a process lets go of the named objects it still holds, so that one
// nobody else holds disappears with it. Handles stay usable for whatever runs
// later in the exit; their close then changes nothing. A process that ends
// without exit handlers (killed, _exit) is pruned by the next process that
// looks at the object.
struct ReleaseAtExit {
    ~ReleaseAtExit() {
        std::vector<std::shared_ptr<Mapping>> held;
        MappingRegistry &r = registry();
        {
            std::lock_guard lock(r.lock);
            for (auto &entry : r.byName) {
                if (auto mapping = entry.second.lock()) held.push_back(std::move(mapping));
            }
        }
        for (auto &mapping : held) mapping->releaseHolder();
    }
};
ReleaseAtExit g_releaseAtExit;

[[maybe_unused]] const bool g_atforkInstalled = [] {
    pthread_atfork(forkPrepare, forkParent, forkChild);
    return true;
}();

struct CreateArgs {
    std::uint32_t kind;
    bool create;
    bool manualReset;
    bool initialState;
    bool initialOwner;
};

struct OpenResult {
    std::shared_ptr<Mapping> mapping;
    DWORD error = ERROR_SUCCESS;  // 0 new, 183 existing, or the failure
};

DWORD errnoToWin32(int err) {
    switch (err) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENAMETOOLONG:
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Takes the mutex of a new object for its creator.
void takeInitialOwnership(SharedObject *object) {
    int rc = pthread_mutex_trylock(&object->mutex);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&object->mutex);
}

// The shm protocol: open or create the object file and register this
// process as a holder.
OpenResult openShared(const std::string &shmName, const std::string &name, const CreateArgs &args,
                      const char *caller) {
    OpenResult result;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int flags = O_RDWR | O_CLOEXEC | (args.create ? O_CREAT : 0);
        UniqueFd fd(::shm_open(shmName.c_str(), flags, 0600));
        if (!fd) {
            int err = errno;
            result.error = errnoToWin32(err);
            if (err != ENOENT || args.create)
                SYNC_TRACE(1, caller, "cannot open shared object %s: %s", shmName.c_str(),
                           std::strerror(err));
            return result;
        }
        // Before the lock: the owner of a foreign object could hold it for ever.
        const std::optional<gid_t> group = orv::access::sharedGroup();
        struct stat owner;
        if (::fstat(fd.get(), &owner) != 0 || !orv::access::usable(owner, group)) {
            SYNC_TRACE(1, caller, "shared object %s belongs to user %u: not used", shmName.c_str(),
                       static_cast<unsigned>(owner.st_uid));
            result.error = ERROR_ACCESS_DENIED;
            return result;
        }
        FileLock lock(fd.get());
        if (!lock.locked()) {
            int err = errno;
            SYNC_TRACE(1, caller, "cannot lock shared object %s: %s", shmName.c_str(),
                       std::strerror(err));
            result.error = errnoToWin32(err);
            return result;
        }
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) {
            result.error = errnoToWin32(errno);
            return result;
        }
        if (st.st_nlink == 0) continue;  // unlinked while we waited: start again

        bool fresh = static_cast<std::size_t>(st.st_size) != kObjectSize;
        if (fresh && !args.create) {
            // Not made yet (its creator is between open and lock) or left by
            // another build of this layer: not an object to open.
            result.error = ERROR_FILE_NOT_FOUND;
            return result;
        }
        if (fresh) {
            // The space is reserved now: on a full file system a sparse file
            // would fail at the first touch of a page, with SIGBUS.
            int err = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(kObjectSize));
            if (err != 0) {
                SYNC_TRACE(1, caller, "cannot reserve shared object %s: %s", shmName.c_str(),
                           std::strerror(err));
                if (st.st_size == 0) ::shm_unlink(shmName.c_str());  // made by this call
                result.error = errnoToWin32(err);
                return result;
            }
        }
        // The owner's own object gets the owner's mode, whatever the umask
        // or the mode it was left with.
        const mode_t mode = orv::access::objectMode(group);
        if (st.st_uid == ::geteuid() &&
            ((st.st_mode & 0777) != mode || (group && st.st_gid != *group))) {
            if (group) (void)!::fchown(fd.get(), static_cast<uid_t>(-1), *group);
            ::fchmod(fd.get(), mode);
        }
        MappedObject map(
            ::mmap(nullptr, kObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0));
        if (map.get() == MAP_FAILED) {
            map.release();
            int err = errno;
            SYNC_TRACE(1, caller, "cannot map shared object %s: %s", shmName.c_str(),
                       std::strerror(err));
            result.error = errnoToWin32(err);
            return result;
        }
        bool zeroed = fresh && st.st_size == 0;
        if (!fresh && __atomic_load_n(&map->magic, __ATOMIC_ACQUIRE) != kMagic) {
            // Its creator died before finishing it; nobody else can have it.
            if (!args.create) {
                ::shm_unlink(shmName.c_str());
                result.error = ERROR_FILE_NOT_FOUND;
                return result;
            }
            fresh = true;
        }
        if (fresh) {
            initObject(map.get(), args.kind, args.manualReset, args.initialState, zeroed);
            const SelfIdentity &me = self();
            map->holders[0] = Holder{me.pid, 1, me.startTime};
            if (args.kind == kMutexObject && args.initialOwner) takeInitialOwnership(map.get());
            __atomic_store_n(&map->magic, kMagic, __ATOMIC_RELEASE);
            result.mapping = std::make_shared<Mapping>(shmName, name, map.release());
            result.error = ERROR_SUCCESS;
            return result;
        }

        {
            GuardLock guard(map.get());
            if (!guard.locked()) {
                result.error = ERROR_INVALID_HANDLE;
                return result;
            }
            if (!saneObject(*map.get())) {
                SYNC_TRACE(1, caller, "shared object %s is damaged", shmName.c_str());
                result.error = ERROR_INVALID_HANDLE;
                return result;
            }
            if (map->dead != 0) continue;
            if (pruneHolders(map.get()) == 0) {
                // Left behind by processes that have all ended.
                map->dead = 1;
                ::shm_unlink(shmName.c_str());
                if (!args.create) {
                    result.error = ERROR_FILE_NOT_FOUND;
                    return result;
                }
                continue;
            }
            if (map->kind != args.kind) {
                SYNC_TRACE(1, caller, "%s is the name of an object of another kind", name.c_str());
                result.error = ERROR_INVALID_HANDLE;
                return result;
            }
            if (!addHolder(map.get())) {
                SYNC_TRACE(1, caller, "too many processes hold %s", shmName.c_str());
                result.error = ERROR_NOT_ENOUGH_MEMORY;
                return result;
            }
        }
        try {
            result.mapping = std::make_shared<Mapping>(shmName, name, map.get());
        } catch (...) {
            GuardLock guard(map.get());
            if (removeHolder(map.get())) {
                map->dead = 1;
                ::shm_unlink(shmName.c_str());
            }
            throw;
        }
        map.release();
        result.error = ERROR_ALREADY_EXISTS;
        return result;
    }
    SYNC_TRACE(1, caller, "shared object %s keeps disappearing", shmName.c_str());
    result.error = ERROR_NOT_ENOUGH_MEMORY;
    return result;
}

// Opens or creates a named object, sharing this process's mapping of it.
OpenResult openNamed(const char *name, const CreateArgs &args, const char *caller) {
    OpenResult result;
    std::string shmName = shmNameFor(name);
    if (shmName.empty()) {
        SYNC_TRACE(1, caller, "object name too long: %s", name);
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    MappingRegistry &r = registry();
    std::shared_ptr<Mapping> existing;
    {
        std::lock_guard lock(r.lock);
        auto it = r.byName.find(shmName);
        if (it != r.byName.end()) existing = it->second.lock();
    }
    if (existing) {
        if (!saneHeader(*existing->object())) {
            SYNC_TRACE(1, caller, "shared object %s is damaged", shmName.c_str());
            result.error = ERROR_INVALID_HANDLE;
        } else if (existing->object()->kind != args.kind) {
            SYNC_TRACE(1, caller, "%s is the name of an object of another kind", name);
            result.error = ERROR_INVALID_HANDLE;
        } else {
            result.mapping = std::move(existing);
            result.error = ERROR_ALREADY_EXISTS;
        }
        return result;
    }
    result = openShared(shmName, name, args, caller);
    if (!result.mapping) return result;
    std::shared_ptr<Mapping> other;
    {
        std::lock_guard lock(r.lock);
        std::weak_ptr<Mapping> &slot = r.byName[shmName];
        other = slot.lock();
        if (!other) slot = result.mapping;
    }
    if (other) {
        // Another thread mapped it meanwhile: use one mapping per process.
        result.mapping = std::move(other);
        result.error = ERROR_ALREADY_EXISTS;
    }
    return result;
}

OpenResult createUnnamed(const CreateArgs &args) {
    OpenResult result;
    MappedObject map(
        ::mmap(nullptr, kObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (map.get() == MAP_FAILED) {
        map.release();
        result.error = ERROR_NOT_ENOUGH_MEMORY;
        return result;
    }
    initObject(map.get(), args.kind, args.manualReset, args.initialState, /*zeroed=*/true);
    if (args.kind == kMutexObject && args.initialOwner) takeInitialOwnership(map.get());
    map->magic = kMagic;
    result.mapping = std::make_shared<Mapping>(std::string(), std::string(), map.get());
    map.release();
    return result;
}

// ---- handles --------------------------------------------------------------

class SyncHandle final : public HandleObject {
  public:
    SyncHandle(HandleKind kind, std::shared_ptr<Mapping> mapping)
        : kind_(kind), mapping_(std::move(mapping)) {}
    HandleKind kind() const noexcept override { return kind_; }
    Mapping &mapping() const { return *mapping_; }

  private:
    HandleKind kind_;
    std::shared_ptr<Mapping> mapping_;
};

HANDLE createObject(HandleKind kind, const CreateArgs &args, const char *name, const char *caller) {
    OpenResult opened =
        (name == nullptr || name[0] == '\0') ? createUnnamed(args) : openNamed(name, args, caller);
    if (!opened.mapping) {
        SetLastError(opened.error);
        return nullptr;
    }
    HANDLE handle = handleInsert(std::make_shared<SyncHandle>(kind, std::move(opened.mapping)));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(opened.error);
    return handle;
}

// ---- events -----------------------------------------------------------------

// ---- waiters that also watch a descriptor ---------------------------------
//
// Such a waiter cannot sleep on its slot's futex word: it sleeps in poll()
// on its descriptor and on a datagram socket of its own, bound to an
// abstract address named after a random number that its slot records. A
// signaller that releases the slot sets the word as for every waiter and
// also sends one empty datagram there. The waiter then checks the slot, so
// a stray datagram only costs a look.

// The abstract address of a waiter's socket; returns the address length.
socklen_t wakeAddress(std::uint64_t wake, sockaddr_un *address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    // sun_path[0] stays 0: an abstract name, gone with the socket.
    int n = std::snprintf(address->sun_path + 1, sizeof address->sun_path - 1, "orv.wake.%016llx",
                          static_cast<unsigned long long>(wake));
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

// Binds a new wake-up socket; `wake` receives its number. Empty on failure
// (errno set).
UniqueFd openWakeSocket(std::uint64_t *wake) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::uint64_t number = 0;
        if (::getrandom(&number, sizeof number, 0) != static_cast<ssize_t>(sizeof number)) {
            return UniqueFd();
        }
        number |= 1;  // never 0, which means "no socket"
        UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd) return UniqueFd();
        sockaddr_un address;
        socklen_t length = wakeAddress(number, &address);
        if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&address), length) == 0) {
            *wake = number;
            return fd;
        }
        if (errno != EADDRINUSE) return UniqueFd();
    }
    errno = EADDRINUSE;
    return UniqueFd();
}

// Tells a polling waiter that its slot was released. A waiter that has
// gone meanwhile simply refuses the datagram.
void pokeWaiter(std::uint64_t wake) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return;
    sockaddr_un address;
    socklen_t length = wakeAddress(wake, &address);
    ssize_t n;
    do {
        n = ::sendto(fd.get(), "", 0, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address), length);
    } while (n < 0 && errno == EINTR);
}

void releaseSlot(WaitSlot &slot) {
    slot.state = kSlotReleased;
    storeWord(&slot.word, 1);
    futexWake(&slot.word, 1);
    if (slot.wake != 0) pokeWaiter(slot.wake);
}

// True when the thread in a taken slot is still there; frees the slot of a
// waiter that died.
bool waiterAlive(WaitSlot &slot) {
    int rc = pthread_mutex_trylock(&slot.life);
    if (rc == EBUSY) return true;
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&slot.life);
    if (rc == 0 || rc == EOWNERDEAD) pthread_mutex_unlock(&slot.life);
    slot.state = kSlotFree;
    return false;
}

// A free slot for the calling thread, its life mutex held; nullptr when all
// are taken by live waiters.
WaitSlot *takeSlot(SharedObject *object) {
    for (int pass = 0; pass < 2; ++pass) {
        for (WaitSlot &slot : object->slots) {
            if (!saneSlot(slot)) return nullptr;
            if (slot.state != kSlotFree) continue;
            if (slot.ready == 0) {
                if (!initRobustMutex(&slot.life, false)) return nullptr;
                slot.ready = 1;
            }
            int rc = pthread_mutex_trylock(&slot.life);
            if (rc == EOWNERDEAD) {
                pthread_mutex_consistent(&slot.life);
                rc = 0;
            }
            if (rc != 0) continue;
            slot.state = kSlotWaiting;
            slot.word = 0;
            slot.ticket = ++object->nextTicket;
            slot.wake = 0;
            return &slot;
        }
        for (WaitSlot &slot : object->slots) {
            if (slot.state != kSlotFree) waiterAlive(slot);
        }
    }
    return nullptr;
}

DWORD waitEvent(SharedObject *object, DWORD milliseconds) {
    const bool timed = milliseconds != INFINITE;
    timespec deadline{};
    if (timed) deadline = deadlineAfter(milliseconds);
    WaitSlot *slot;
    {
        GuardLock guard(object);
        if (!guard.locked()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (object->signaled != 0) {
            if (object->manualReset == 0) object->signaled = 0;
            return WAIT_OBJECT_0;
        }
        if (milliseconds == 0) return WAIT_TIMEOUT;
        slot = takeSlot(object);
        if (slot == nullptr) {
            SYNC_TRACE(1, "WaitForSingleObject", "too many threads wait on one event");
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return WAIT_FAILED;
        }
    }
    while (loadWord(&slot->word) == 0) {
        if (futexWait(&slot->word, 0, timed ? &deadline : nullptr) == ETIMEDOUT) break;
    }
    GuardLock guard(object);
    // Released at the last moment still counts: the signal is not lost.
    DWORD result = slot->state == kSlotReleased ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    slot->state = kSlotFree;
    pthread_mutex_unlock(&slot->life);
    return result;
}

// Milliseconds from now to an absolute monotonic deadline, rounded up, 0 once
// it has passed.
int millisecondsUntil(const timespec &deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                   (deadline.tv_nsec - now.tv_nsec);
    if (ns <= 0) return 0;
    long long ms = (ns + 999999) / 1000000;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

// True when fd is readable or has an error or hang-up pending; *bad when
// it is not an open descriptor.
bool descriptorReady(int fd, bool *bad) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    *bad = rc < 0 || (p.revents & POLLNVAL) != 0;
    return !*bad && rc > 0;
}

DWORD waitEventOrDescriptor(SharedObject *object, int fd, DWORD milliseconds) {
    const bool timed = milliseconds != INFINITE;
    timespec deadline{};
    if (timed) deadline = deadlineAfter(milliseconds);
    auto takeSignal = [object](DWORD *result) {
        GuardLock guard(object);
        if (!guard.locked()) {
            SetLastError(ERROR_INVALID_HANDLE);
            *result = WAIT_FAILED;
            return true;
        }
        if (object->signaled == 0) return false;
        if (object->manualReset == 0) object->signaled = 0;
        *result = WAIT_OBJECT_0;
        return true;
    };
    DWORD result = WAIT_TIMEOUT;
    if (takeSignal(&result)) return result;
    bool bad = false;
    if (descriptorReady(fd, &bad)) return WAIT_OBJECT_0 + 1;
    if (bad) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;

    std::uint64_t wake = 0;
    UniqueFd socket = openWakeSocket(&wake);
    if (!socket) {
        SYNC_TRACE(1, "WaitForEventOrDescriptor", "cannot make a wake-up socket: %s",
                   std::strerror(errno));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    WaitSlot *slot;
    {
        GuardLock guard(object);
        if (!guard.locked()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (object->signaled != 0) {
            if (object->manualReset == 0) object->signaled = 0;
            return WAIT_OBJECT_0;
        }
        slot = takeSlot(object);
        if (slot == nullptr) {
            SYNC_TRACE(1, "WaitForEventOrDescriptor", "too many threads wait on one event");
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return WAIT_FAILED;
        }
        slot->wake = wake;
    }

    bool ready = false;
    DWORD failure = ERROR_SUCCESS;
    while (loadWord(&slot->word) == 0) {
        pollfd p[2] = {{socket.get(), POLLIN, 0}, {fd, POLLIN, 0}};
        int timeout = timed ? millisecondsUntil(deadline) : -1;
        int rc = ::poll(p, 2, timeout);
        if (rc < 0) {
            if (errno == EINTR) continue;
            failure = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        if ((p[1].revents & POLLNVAL) != 0) {
            failure = ERROR_INVALID_PARAMETER;  // closed by another thread meanwhile
            break;
        }
        if (p[1].revents != 0) {
            ready = true;
            break;
        }
        if ((p[0].revents & POLLIN) != 0) {
            char byte;
            while (::recv(socket.get(), &byte, sizeof byte, MSG_DONTWAIT) >= 0) {
            }
            continue;
        }
        if (rc == 0 && timed && millisecondsUntil(deadline) == 0) break;
    }
    GuardLock guard(object);
    // A release wins over the descriptor and the time-out: the signal is
    // not lost, and the descriptor stays readable for the next call.
    if (slot->state == kSlotReleased) {
        result = WAIT_OBJECT_0;
    } else if (failure != ERROR_SUCCESS) {
        SetLastError(failure);
        result = WAIT_FAILED;
    } else {
        result = ready ? WAIT_OBJECT_0 + 1 : WAIT_TIMEOUT;
    }
    slot->state = kSlotFree;
    slot->wake = 0;
    pthread_mutex_unlock(&slot->life);
    return result;
}

BOOL damaged(const char *caller) {
    SYNC_TRACE(1, caller, "shared object damaged: a waiter slot is no slot");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL setEvent(SharedObject *object) {
    GuardLock guard(object);
    if (!guard.locked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->manualReset != 0) {
        object->signaled = 1;
        for (WaitSlot &slot : object->slots) {
            if (!saneSlot(slot)) return damaged("SetEvent");
            if (slot.state == kSlotWaiting && waiterAlive(slot)) releaseSlot(slot);
        }
        return TRUE;
    }
    // Auto-reset: the longest-waiting live waiter takes the signal.
    for (;;) {
        WaitSlot *oldest = nullptr;
        for (WaitSlot &slot : object->slots) {
            if (!saneSlot(slot)) return damaged("SetEvent");
            if (slot.state == kSlotWaiting && (oldest == nullptr || slot.ticket < oldest->ticket))
                oldest = &slot;
        }
        if (oldest == nullptr) {
            object->signaled = 1;
            return TRUE;
        }
        if (waiterAlive(*oldest)) {
            releaseSlot(*oldest);
            return TRUE;
        }
    }
}

BOOL resetEvent(SharedObject *object) {
    GuardLock guard(object);
    if (!guard.locked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->signaled = 0;
    return TRUE;
}

// ---- mutexes ------------------------------------------------------------------

DWORD waitMutex(const Mapping &mapping, DWORD milliseconds) {
    pthread_mutex_t *mutex = &mapping.object()->mutex;
    if (!saneHeader(*mapping.object())) {
        SYNC_TRACE(1, "WaitForSingleObject", "mutex %s is damaged",
                   mapping.named() ? mapping.name().c_str() : "(unnamed)");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    int rc;
    if (milliseconds == 0) {
        rc = pthread_mutex_trylock(mutex);
    } else if (milliseconds == INFINITE) {
        rc = pthread_mutex_lock(mutex);
    } else {
        timespec deadline = deadlineAfter(milliseconds);
        rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    }
    if (rc == 0) return WAIT_OBJECT_0;
    if (rc == EBUSY || rc == ETIMEDOUT) return WAIT_TIMEOUT;
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        SYNC_TRACE(1, "WaitForSingleObject",
                   "mutex %s was abandoned by its owner; the waiter now owns it",
                   mapping.named() ? mapping.name().c_str() : "(unnamed)");
        return WAIT_OBJECT_0;
    }
    SYNC_TRACE(1, "WaitForSingleObject", "cannot take mutex %s: %s",
               mapping.named() ? mapping.name().c_str() : "(unnamed)", std::strerror(rc));
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL releaseMutex(SharedObject *object) {
    pthread_mutex_t *mutex = &object->mutex;
    int word = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE);
    if ((word & FUTEX_TID_MASK) != currentTid()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (pthread_mutex_unlock(mutex) != 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

// Fails a call made with a handle that is not open (or not of the kind the
// call takes): one level-1 line, then ERROR_INVALID_HANDLE.
void invalidHandle(const char *caller, HANDLE handle) {
    SYNC_TRACE(1, caller, "invalid handle %p", handle);
    SetLastError(ERROR_INVALID_HANDLE);
}

}  // namespace

std::string shmNameFor(const char *name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "/orv.";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p) {
        unsigned char c = *p;
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
        if (safe) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    // The file under /dev/shm is the name without its leading '/'.
    if (out.size() - 1 > NAME_MAX) return std::string();
    return out;
}

pid_t currentTid() noexcept {
    struct Cache {
        pid_t tid = 0;
        std::uint64_t generation = 0;
    };
    thread_local Cache cache;
    std::uint64_t gen = g_forkGeneration.load(std::memory_order_relaxed);
    if (cache.generation != gen) {
        cache.tid = static_cast<pid_t>(::syscall(SYS_gettid));
        cache.generation = gen;
    }
    return cache.tid;
}

}  // namespace w32::sync

// ---- exported calls -----------------------------------------------------------

using w32::HandleKind;
using w32::sync::CreateArgs;
using w32::sync::SyncHandle;

extern "C" {

W32_API HANDLE CreateEvent(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    try {
        CreateArgs args{w32::sync::kEventObject, true, bManualReset != FALSE,
                        bInitialState != FALSE, false};
        return w32::sync::createObject(HandleKind::Event, args, lpName, "CreateEvent");
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

W32_API HANDLE OpenEvent(DWORD, BOOL, LPCSTR lpName) {
    if (lpName == nullptr || lpName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        CreateArgs args{w32::sync::kEventObject, false, false, false, false};
        HANDLE handle = w32::sync::createObject(HandleKind::Event, args, lpName, "OpenEvent");
        if (handle != nullptr) SetLastError(ERROR_SUCCESS);
        return handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

W32_API BOOL SetEvent(HANDLE hEvent) {
    auto event = w32::handleGet<SyncHandle>(hEvent, HandleKind::Event);
    if (!event) {
        w32::sync::invalidHandle("SetEvent", hEvent);
        return FALSE;
    }
    return w32::sync::setEvent(event->mapping().object());
}

W32_API BOOL ResetEvent(HANDLE hEvent) {
    auto event = w32::handleGet<SyncHandle>(hEvent, HandleKind::Event);
    if (!event) {
        w32::sync::invalidHandle("ResetEvent", hEvent);
        return FALSE;
    }
    return w32::sync::resetEvent(event->mapping().object());
}

W32_API HANDLE CreateMutex(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    try {
        CreateArgs args{w32::sync::kMutexObject, true, false, false, bInitialOwner != FALSE};
        return w32::sync::createObject(HandleKind::Mutex, args, lpName, "CreateMutex");
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

W32_API BOOL ReleaseMutex(HANDLE hMutex) {
    auto mutex = w32::handleGet<SyncHandle>(hMutex, HandleKind::Mutex);
    if (!mutex) {
        w32::sync::invalidHandle("ReleaseMutex", hMutex);
        return FALSE;
    }
    return w32::sync::releaseMutex(mutex->mapping().object());
}

W32_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto object = w32::handleLookup(hHandle);
    if (!object) {
        w32::sync::invalidHandle("WaitForSingleObject", hHandle);
        return WAIT_FAILED;
    }
    switch (object->kind()) {
        case HandleKind::Event:
            return w32::sync::waitEvent(static_cast<SyncHandle &>(*object).mapping().object(),
                                        dwMilliseconds);
        case HandleKind::Mutex:
            return w32::sync::waitMutex(static_cast<SyncHandle &>(*object).mapping(),
                                        dwMilliseconds);
        default:
            w32::sync::invalidHandle("WaitForSingleObject", hHandle);
            return WAIT_FAILED;
    }
}

W32_API DWORD WaitForEventOrDescriptor(HANDLE hEvent, int fd, DWORD dwMilliseconds) {
    auto event = w32::handleGet<SyncHandle>(hEvent, HandleKind::Event);
    if (!event) {
        w32::sync::invalidHandle("WaitForEventOrDescriptor", hEvent);
        return WAIT_FAILED;
    }
    if (fd < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    return w32::sync::waitEventOrDescriptor(event->mapping().object(), fd, dwMilliseconds);
}

W32_API BOOL CloseHandle(HANDLE hObject) {
    if (!w32::handleRemove(hObject)) {
        w32::sync::invalidHandle("CloseHandle", hObject);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
