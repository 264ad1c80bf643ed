// Named events and mutexes between real processes (fork): exclusion, a
// killed owner or waiter, simultaneous creation, the lifetime of an object
// whose holders end, and objects that other users, damage or a full file
// system turn against us.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <random>
#include <thread>

#include "sync_helpers.h"
#include "sync_shared.h"

using namespace sync_test;

// A T in memory shared with forked children, for the rest of the process.
template <class T>
T &shared() {
    void *p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return *new (p) T();
}

// Whether the process is in poll(), as a wait on an event and a descriptor sleeps.
bool inPoll(pid_t pid) {
    std::string number;
    std::ifstream("/proc/" + std::to_string(pid) + "/syscall") >> number;
    return number == "7";
}

// Waits until the killed process is a zombie: its robust mutexes handed
// back, not yet reaped.
bool awaitZombie(pid_t pid) {
    return eventually([pid] {
        std::string stat;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
        return stat.find(") Z ") != std::string::npos;
    });
}

TEST(SyncProcess, NamedMutexLosesNoIncrement) {
    long &counter = shared<long>();
    constexpr int kRounds = 4000;
    auto body = [&] {
        HANDLE mx = CreateMutex(nullptr, FALSE, "counter.lock");
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(mx, 10000) != WAIT_OBJECT_0) return 2;
            long seen = counter;
            if (i % 32 == 0) sched_yield();  // widen the window a lost update needs
            counter = seen + 1;
            if (!ReleaseMutex(mx)) return 3;
        }
        return CloseHandle(mx) ? 0 : 4;
    };
    Child a(body), b(body);
    EXPECT_EQ(a.wait() + b.wait(), 0);
    EXPECT_EQ(counter, 2L * kRounds);
}

// An owner killed while a waiter sleeps on the mutex hands it to the waiter,
// who gets WAIT_OBJECT_0 and owns it once.
TEST(SyncProcess, KilledOwnerHandsTheMutexToTheWaiter) {
    orv_test::MutexHolder owner("owner.dies");
    ASSERT_TRUE(owner.holding());
    HANDLE mx = CreateMutex(nullptr, FALSE, "owner.dies");
    EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_TIMEOUT) << "still held";
    std::atomic<DWORD> result{0};
    std::atomic<pid_t> tid{0};
    std::thread waiter([&] {
        tid = gettid();
        result = WaitForSingleObject(mx, 10000);
        if (result == WAIT_OBJECT_0 && !ReleaseMutex(mx)) result = WAIT_FAILED;
    });
    EXPECT_TRUE(eventually([&] { return tid != 0 && inEventWait(tid); }));
    EXPECT_EQ(owner.kill(), 128 + SIGKILL);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
    EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mx) && CloseHandle(mx));
}

// A process that opens the event `name` and waits once, on it alone or on it
// and `fd`, counting a release in `released`; its exit code is 0 for the
// event, 1 for the descriptor, 2 for a timeout. Returned once it sleeps in
// its wait (when it has time to).
std::unique_ptr<Child> spawnWaiter(const char *name, std::atomic<int> &released, int fd = -1,
                                   DWORD timeout = 20000) {
    auto child = std::make_unique<Child>([=, &released] {
        HANDLE h = OpenEvent(EVENT_ALL_ACCESS, FALSE, name);
        if (h == nullptr) return 9;
        DWORD rc =
            fd < 0 ? WaitForSingleObject(h, timeout) : WaitForEventOrDescriptor(h, fd, timeout);
        released += rc == WAIT_OBJECT_0;
        return rc == WAIT_OBJECT_0 ? 0 : rc == WAIT_OBJECT_0 + 1 ? 1 : rc == WAIT_TIMEOUT ? 2 : 3;
    });
    const pid_t pid = child->pid();
    EXPECT_TRUE(timeout < 1000 ||
                (fd < 0 ? awaitEventWait(pid) : eventually([pid] { return inPoll(pid); })));
    return child;
}

// Processes wait on one event: each SetEvent of an auto-reset event, paced
// so that it is consumed before the next, lets exactly one through; a
// manual-reset event set and reset at once still releases every one.
TEST(SyncProcess, SetReleasesOneOrEveryWaitingProcess) {
    constexpr int kWaiters = 4;
    for (BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual-reset" : "auto-reset");
        std::atomic<int> &released = shared<std::atomic<int>>();
        HANDLE ev = CreateEvent(nullptr, manual, FALSE, "set.procs");
        std::vector<std::unique_ptr<Child>> children;
        for (int i = 0; i < kWaiters; ++i) children.push_back(spawnWaiter("set.procs", released));
        for (int k = 1; k <= (manual ? 1 : 2); ++k) {
            EXPECT_TRUE(SetEvent(ev) && (!manual || ResetEvent(ev)));
            EXPECT_TRUE(eventually([&] { return released >= (manual ? kWaiters : k); }));
        }
        // A bounded pause in which no further waiter may get through.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(released.load(), manual ? kWaiters : 2);
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "every signal went to a waiter";
        for (int k = 3; !manual && k <= kWaiters; ++k) EXPECT_TRUE(SetEvent(ev));
        for (auto &c : children) EXPECT_EQ(c->wait(), 0);
        EXPECT_TRUE(CloseHandle(ev));
    }
}

// A waiter killed in its wait (and not yet reaped) is skipped: the signal
// goes to a live waiter, for either kind of event and either kind of wait.
// A wait on an event and a descriptor ends on whichever another process
// makes ready, or on its timeout, and takes only that.
TEST(SyncProcess, WaitingProcessesGetWhatAnotherProcessSignals) {
    enum Variant { AutoKilled, ManualKilled, DescriptorKilled, SetEv, Written, TimedOut };
    for (Variant v : {AutoKilled, ManualKilled, DescriptorKilled, SetEv, Written, TimedOut}) {
        SCOPED_TRACE(v);
        const bool manual = v == ManualKilled, signalled = v != Written && v != TimedOut;
        std::atomic<int> &released = shared<std::atomic<int>>();
        HANDLE ev = CreateEvent(nullptr, manual, FALSE, "waiting");
        int fds[2];
        ASSERT_TRUE(ev != nullptr && ::pipe2(fds, O_NONBLOCK) == 0);
        const int fd = v >= DescriptorKilled ? fds[0] : -1;
        std::unique_ptr<Child> doomed;  // the longest waiting
        if (v <= DescriptorKilled) doomed = spawnWaiter("waiting", released, fd);
        auto survivor = spawnWaiter("waiting", released, fd, v == TimedOut ? 100 : 20000);
        if (doomed) doomed->kill9();
        ASSERT_TRUE(!doomed || awaitZombie(doomed->pid()));
        EXPECT_TRUE(!signalled || SetEvent(ev));
        EXPECT_TRUE(v != Written || ::write(fds[1], "x", 1) == 1);
        EXPECT_EQ(survivor->wait(), v == Written ? 1 : v == TimedOut ? 2 : 0);
        EXPECT_EQ(released.load(), signalled ? 1 : 0);
        EXPECT_TRUE(!doomed || doomed->wait() == -SIGKILL);
        EXPECT_EQ(WaitForSingleObject(ev, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
            << "a signal taken once or not made";
        char byte = 0;
        EXPECT_EQ(::read(fds[0], &byte, 1), v == Written ? 1 : -1) << "the descriptor is not read";
        EXPECT_TRUE(::close(fds[0]) == 0 && ::close(fds[1]) == 0 && CloseHandle(ev));
    }
}

// Two processes create the same name at the same moment, many times: one
// object each time, and exactly one of them sees it new.
TEST(SyncProcess, SimultaneousCreateMakesOneObject) {
    constexpr int kRounds = 200;
    std::atomic<int> &arrived = shared<std::atomic<int>>();
    auto meet = [&arrived](int &times) {  // both processes at the same point, once more
        for (++arrived, ++times; arrived < 2 * times;) sched_yield();
    };
    auto &madeNew = shared<std::array<std::atomic<int>, kRounds>>();
    // The rounds where this process failed or the two held different objects.
    auto race = [&](bool setter) {
        int wrong = 0, met = 0;
        for (int r = 0; r < kRounds; ++r) {
            meet(met);
            HANDLE h = CreateEvent(nullptr, TRUE, FALSE, ("race." + std::to_string(r)).c_str());
            const DWORD error = h ? GetLastError() : ERROR_INVALID_HANDLE;
            madeNew[r] += error == 0;
            wrong += error != 0 && error != ERROR_ALREADY_EXISTS;
            meet(met);
            if (setter) SetEvent(h);
            meet(met);
            wrong += WaitForSingleObject(h, 0) != WAIT_OBJECT_0;
            CloseHandle(h);
        }
        return wrong;
    };
    Child child([&] { return race(true) == 0 ? 0 : 1; });
    EXPECT_EQ(race(false), 0);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(std::count(madeNew.begin(), madeNew.end(), 1), kRounds)
        << "rounds where exactly one creator made the object";
}

// The holders of an object end without closing it (exit, or killed), or its
// creator died before it finished (an empty file, one of the full size
// without its completion mark, one of another size): the object is gone for
// the next opener and made afresh, with its own initial state, by the next
// creator.
TEST(SyncProcess, ObjectOfEndedHoldersOrHalfMadeIsRemadeFresh) {
    HANDLE probe = CreateMutex(nullptr, FALSE, "sizeprobe");
    struct stat st;
    ASSERT_TRUE(probe && stat(shmPath("sizeprobe").c_str(), &st) == 0 && CloseHandle(probe));
    const long full = st.st_size;
    auto open = [] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "leftover"); };
    enum End { Exit, QuickExit, Killed, Written };
    const std::pair<End, long> cases[] = {{Exit, 0},          {QuickExit, 0},  {Killed, 0},
                                          {Written, 0},       {Written, full}, {Written, full / 2},
                                          {Written, full * 2}};
    for (auto [end, size] : cases) {
        for (bool openFirst : {false, true}) {
            SCOPED_TRACE(::testing::Message() << end << " size " << size << " " << openFirst);
            if (end == Written) {
                std::ofstream(shmPath("leftover"), std::ios::binary) << std::string(size, '\0');
            } else {
                Child holder([end = end] {
                    HANDLE h = CreateEvent(nullptr, TRUE, TRUE, "leftover");
                    if (h == nullptr || GetLastError() != 0) return 1;
                    if (end == Killed) raise(SIGKILL);
                    if (end == Exit) std::exit(0);
                    return 0;  // _exit holding the handle
                });
                EXPECT_EQ(holder.wait(), end == Killed ? -SIGKILL : 0);
                // exit() lets go at once; otherwise the file stays until looked at.
                EXPECT_EQ(shmFileExists("leftover"), end != Exit);
            }
            EXPECT_TRUE(!openFirst || errorOf(open) == ERROR_FILE_NOT_FOUND);
            HANDLE h = CreateEvent(nullptr, TRUE, FALSE, "leftover");
            EXPECT_EQ(GetLastError(), 0u) << "a new object";
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT) << "with its own initial state";
            EXPECT_TRUE(CloseHandle(h));
            EXPECT_FALSE(shmFileExists("leftover"));
        }
    }
}

// A forked child shares the parent's named handles and holds the object
// itself: it outlives the parent's close and goes with the child.
TEST(SyncProcess, ForkedChildHoldsInheritedObjects) {
    std::atomic<int> &closed = shared<std::atomic<int>>();
    HANDLE ev = CreateEvent(nullptr, TRUE, FALSE, "inherited");
    Child child([&] {
        if (!SetEvent(ev)) return 1;  // through the inherited handle
        return eventually([&] { return closed == 1; }) && CloseHandle(ev) ? 0 : 2;
    });
    HANDLE mine = OpenEvent(EVENT_ALL_ACCESS, FALSE, "inherited");
    ASSERT_TRUE(mine && CloseHandle(ev));
    EXPECT_TRUE(eventually([&] { return WaitForSingleObject(mine, 0) == WAIT_OBJECT_0; }));
    EXPECT_TRUE(CloseHandle(mine));
    EXPECT_TRUE(shmFileExists("inherited")) << "the child still holds it";
    closed = 1;
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(shmFileExists("inherited"));
}

// Forking while other threads create and close handles: the child never
// inherits a lock held by a thread it does not have.
TEST(SyncProcess, ForkWhileOtherThreadsUseHandles) {
    std::atomic<bool> stop{false};
    std::thread busy([&stop] {
        for (const char *name = nullptr; !stop; name = name ? nullptr : "busy.event")
            CloseHandle(CreateEvent(nullptr, TRUE, FALSE, name));
    });
    int stuckOrFailed = 0;
    for (int round = 0; round < 40; ++round) {
        Child child([] {
            HANDLE h = CreateEvent(nullptr, TRUE, FALSE, "busy.event");
            HANDLE m = CreateMutex(nullptr, TRUE, "fork.child");
            return h && m && ReleaseMutex(m) && CloseHandle(h) && CloseHandle(m) ? 0 : 1;
        });
        int status = 0;  // a child that hangs is killed when dropped
        const bool ended = eventually([&] { return waitpid(child.pid(), &status, WNOHANG) != 0; });
        if (ended) child.markReaped();
        stuckOrFailed += !ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    stop = true;
    busy.join();
    EXPECT_EQ(stuckOrFailed, 0);
}

// Objects are the owner's alone whatever the umask (and a configured group's),
// and an object left by another user is refused unless it is that group's.
TEST(SyncHostile, ObjectsAreTheOwnersAndForeignOnesAreRefused) {
    auto status = [](const char *name) {
        struct stat st {};
        ::stat(shmPath(name).c_str(), &st);
        return std::pair(st.st_mode & 07777, st.st_gid);
    };
    auto group = [](bool set) { set ? setenv("ORV_GROUP", "65534", 1) : unsetenv("ORV_GROUP"); };
    ::umask(0);
    group(false);
    ASSERT_NE(CreateEvent(nullptr, TRUE, FALSE, "OwnEvent"), nullptr);
    EXPECT_EQ(status("OwnEvent").first, 0600u);
    group(true);
    ASSERT_NE(CreateMutex(nullptr, FALSE, "GroupMutex"), nullptr);
    EXPECT_EQ(status("GroupMutex"), std::pair(0660u, 65534u));
    for (auto [name, mode] : {std::pair{"Foreign", 0666}, {"ForeignGroup", 0660}}) {
        int fd = ::open(shmPath(name).c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fchown(fd, 65534, 65534) | ::fchmod(fd, mode) | ::close(fd), 0);
    }
    auto refused = [](auto call) { return errorOf(call) == ERROR_ACCESS_DENIED; };
    group(false);
    EXPECT_TRUE(refused([] { return CreateEvent(nullptr, FALSE, FALSE, "Foreign"); }));
    EXPECT_TRUE(refused([] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "Foreign"); }));
    EXPECT_TRUE(refused([] { return CreateMutex(nullptr, FALSE, "ForeignGroup"); }));
    group(true);  // open to everyone: not the group's alone
    EXPECT_TRUE(refused([] { return CreateMutex(nullptr, FALSE, "Foreign"); }));
    EXPECT_NE(CreateMutex(nullptr, FALSE, "ForeignGroup"), nullptr);
}

// Random bytes written over an object make every call on it fail, in the
// process that has it open and in one that opens it, never crash or hang.
TEST(SyncHostile, GarbageInAnObjectIsAnErrorNeverFollowed) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Child child([seed] {
            ::alarm(30);  // a hang ends the child with SIGALRM
            HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "Junk");
            HANDLE mutex = CreateMutex(nullptr, FALSE, "JunkMutex");
            if (event == nullptr || mutex == nullptr) return 2;
            std::mt19937 random(seed);
            for (const char *name : {"Junk", "JunkMutex"}) {
                std::vector<std::uint32_t> junk(sizeof(w32::sync::SharedObject) / 4);
                for (auto &word : junk) word = random();
                if (seed % 2 == 0) {  // magic and kind as a real object has them
                    junk[0] = w32::sync::kMagic;
                    junk[1] = name[4] == 'M' ? w32::sync::kMutexObject : w32::sync::kEventObject;
                    junk[2] = junk[3] = junk[4] = 0;
                }
                int fd = ::open(shmPath(name).c_str(), O_RDWR);
                if (::pwrite(fd, junk.data(), junk.size() * 4, 0) < 0) return 3;
                ::close(fd);
            }
            if (SetEvent(event) || ResetEvent(event)) return 4;
            if (WaitForSingleObject(event, 50) != WAIT_FAILED) return 5;
            if (WaitForSingleObject(mutex, 50) != WAIT_FAILED) return 6;
            return OpenEvent(EVENT_ALL_ACCESS, FALSE, "Junk") != nullptr ? 7 : 0;
        });
        EXPECT_EQ(child.wait(), 0);
        for (const char *name : {"Junk", "JunkMutex"}) ::unlink(shmPath(name).c_str());
    }
}

// On a full file system an object cannot be made: NULL with error 8, and the
// process goes on (a sparse object file would kill it with SIGBUS).
TEST(SyncHostile, FullSharedMemoryIsAnError) {
    ASSERT_EQ(::system("mount -t tmpfs -o size=64k,mode=1777 orv-full /dev/shm && "
                       "! head -c 1M /dev/zero > /dev/shm/fill 2>/dev/null"),
              0);
    Child child([] {
        const DWORD event = errorOf([] { return CreateEvent(nullptr, TRUE, FALSE, "FullEvent"); });
        const DWORD mutex = errorOf([] { return CreateMutex(nullptr, TRUE, "FullMutex"); });
        return event == ERROR_NOT_ENOUGH_MEMORY && mutex == ERROR_NOT_ENOUGH_MEMORY &&
                       !shmFileExists("FullEvent") && !shmFileExists("FullMutex")
                   ? 0
                   : 1;
    });
    EXPECT_EQ(child.wait(), 0);
}
