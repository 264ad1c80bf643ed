// Named events and mutexes between real processes (fork): exclusion, a
// killed owner or waiter, simultaneous creation, and the lifetime of an
// object whose holders end.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sync_helpers.h"
#include "sync_shared.h"

namespace {

using namespace sync_test;
using Clock = std::chrono::steady_clock;

TEST(SyncProcess, NamedMutexLosesNoIncrement) {
    struct Shared {
        long counter = 0;
        pthread_barrier_t bothOpen;
    };
    SharedBlock<Shared> shared;
    ASSERT_TRUE(initSharedBarrier(&shared->bothOpen, 2));
    constexpr int kRounds = 4000;
    auto body = [&] {
        HANDLE mx = CreateMutex(nullptr, FALSE, "counter.lock");
        if (mx == nullptr) return 1;
        pthread_barrier_wait(&shared->bothOpen);  // contend from the start
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(mx, 10000) != WAIT_OBJECT_0) return 2;
            long seen = shared->counter;
            if (i % 32 == 0) sched_yield();  // widen the window a lost update needs
            shared->counter = seen + 1;
            if (!ReleaseMutex(mx)) return 3;
        }
        CloseHandle(mx);
        return 0;
    };
    Child a(body), b(body);
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    EXPECT_EQ(shared->counter, 2L * kRounds);
    EXPECT_FALSE(shmFileExists("counter.lock")) << "both holders closed it";
    pthread_barrier_destroy(&shared->bothOpen);
}

// An owner that dies (its process killed, or only its thread ended) leaves
// the mutex to the waiter, who gets WAIT_OBJECT_0 and owns it.
TEST(SyncProcess, DeadOwnerHandsTheMutexToTheWaiter) {
    enum class Death { Killed, ThreadExit };
    for (Death death : {Death::Killed, Death::ThreadExit}) {
        SCOPED_TRACE(death == Death::Killed ? "owner killed" : "owner thread exited");
        struct Shared {
            std::atomic<int> held{0};
        };
        SharedBlock<Shared> shared;
        Child owner([&] {
            HANDLE mx = CreateMutex(nullptr, FALSE, "owner.dies");
            if (mx == nullptr) return 1;
            if (death == Death::Killed) {
                if (WaitForSingleObject(mx, 0) != WAIT_OBJECT_0) return 2;
                shared->held = 1;
            } else {
                std::thread([&] {
                    if (WaitForSingleObject(mx, 0) == WAIT_OBJECT_0) shared->held = 1;
                }).join();
            }
            pause();
            return 0;
        });
        ASSERT_TRUE(eventually([&] { return shared->held.load() == 1; }));
        HANDLE mx = CreateMutex(nullptr, FALSE, "owner.dies");
        ASSERT_NE(mx, nullptr);
        if (death == Death::Killed) {
            EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_TIMEOUT) << "still held";
            std::atomic<DWORD> result{0};
            std::atomic<bool> released{false};
            Clock::time_point killedAt, gotAt;
            std::atomic<pid_t> waiterTid{0};
            std::thread waiter([&] {
                waiterTid = gettid();
                result = WaitForSingleObject(mx, 10000);
                gotAt = Clock::now();
                if (result == WAIT_OBJECT_0) released = ReleaseMutex(mx) != FALSE;
            });
            // The owner dies only once the waiter sleeps on the mutex.
            EXPECT_TRUE(eventually([&] { return waiterTid != 0 && inEventWait(waiterTid); }));
            killedAt = Clock::now();
            owner.kill9();
            waiter.join();
            EXPECT_EQ(result.load(), WAIT_OBJECT_0);
            EXPECT_LT(gotAt - killedAt, std::chrono::seconds(1));
            EXPECT_TRUE(released);
            owner.wait();
        } else {
            EXPECT_EQ(WaitForSingleObject(mx, 5000), WAIT_OBJECT_0);
            EXPECT_TRUE(ReleaseMutex(mx));
        }
        // Free now, and owned once only.
        EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
        EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mx));
        EXPECT_TRUE(CloseHandle(mx));
    }
}

struct WaiterBoard {
    std::atomic<int> released{0};
};

// `count` processes that each open the event `name`, wait on it once and
// count themselves released; returns once every one of them waits.
std::vector<std::unique_ptr<Child>> spawnWaiters(const char *name, int count, WaiterBoard *board) {
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < count; ++i) {
        children.push_back(std::make_unique<Child>([name, board] {
            HANDLE h = OpenEvent(EVENT_ALL_ACCESS, FALSE, name);
            if (h == nullptr) return 1;
            if (WaitForSingleObject(h, 20000) != WAIT_OBJECT_0) return 2;
            ++board->released;
            return 0;
        }));
        EXPECT_TRUE(awaitEventWait(children.back()->pid()));
    }
    return children;
}

// N processes wait on one auto-reset event; each SetEvent, paced so that it
// is consumed before the next, lets exactly one of them through.
TEST(SyncProcess, AutoResetReleasesOneProcessPerSet) {
    constexpr int kWaiters = 5;
    constexpr int kSets = 3;
    SharedBlock<WaiterBoard> board;
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, "auto.procs");
    ASSERT_NE(ev, nullptr);
    auto children = spawnWaiters("auto.procs", kWaiters, &*board);
    for (int k = 1; k <= kSets; ++k) {
        EXPECT_TRUE(SetEvent(ev));
        EXPECT_TRUE(eventually([&] { return board->released.load() >= k; }));
    }
    settle();  // a window in which no further waiter may get through
    EXPECT_EQ(board->released.load(), kSets);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "every signal went to a waiter";
    for (int k = kSets + 1; k <= kWaiters; ++k) {
        EXPECT_TRUE(SetEvent(ev));
        EXPECT_TRUE(eventually([&] { return board->released.load() >= k; }));
    }
    for (auto &c : children) EXPECT_EQ(c->wait(), 0);
    EXPECT_TRUE(CloseHandle(ev));
}

// A manual-reset event set and reset at once still releases every waiter.
TEST(SyncProcess, ManualResetReleasesEveryProcess) {
    constexpr int kWaiters = 5;
    SharedBlock<WaiterBoard> board;
    HANDLE ev = CreateEvent(nullptr, TRUE, FALSE, "manual.procs");
    ASSERT_NE(ev, nullptr);
    auto children = spawnWaiters("manual.procs", kWaiters, &*board);
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_TRUE(ResetEvent(ev));
    for (auto &c : children) EXPECT_EQ(c->wait(), 0);
    EXPECT_EQ(board->released.load(), kWaiters);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(ev));
}

// A waiter killed in its wait (and not yet reaped) is skipped: the signal
// goes to a live waiter, for either kind of event.
TEST(SyncProcess, KilledWaiterDoesNotSwallowASignal) {
    for (BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual-reset" : "auto-reset");
        SharedBlock<WaiterBoard> board;
        HANDLE ev = CreateEvent(nullptr, manual, FALSE, "killed.waiter");
        ASSERT_NE(ev, nullptr);
        // The doomed waiter is the longest-waiting one.
        auto doomed = spawnWaiters("killed.waiter", 1, &*board);
        auto survivor = spawnWaiters("killed.waiter", 1, &*board);
        doomed[0]->kill9();
        ASSERT_TRUE(awaitZombie(doomed[0]->pid()));
        EXPECT_TRUE(SetEvent(ev));
        EXPECT_EQ(survivor[0]->wait(), 0);
        EXPECT_EQ(board->released.load(), 1);
        EXPECT_EQ(doomed[0]->wait(), -SIGKILL);
        // A later wait and signal work as usual.
        EXPECT_TRUE(ResetEvent(ev));
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(SetEvent(ev));
        EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(ev));
    }
}

// A wait on an event and a descriptor in one process ends on whichever
// another process makes ready first, and takes only that.
TEST(SyncProcess, EventOrDescriptorWaitEndsOnWhatAnotherProcessDid) {
    struct Case {
        const char *what;
        bool set, write;
        int expected;  // the waiter's exit code
    };
    const Case cases[] = {
        {"event set", true, false, 0},
        {"descriptor written", false, true, 1},
        {"neither: time-out", false, false, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, "fd.wait");
        ASSERT_NE(ev, nullptr);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        Child waiter([&] {
            HANDLE mine = OpenEvent(EVENT_ALL_ACCESS, FALSE, "fd.wait");
            if (mine == nullptr) return 10;
            auto start = Clock::now();
            DWORD rc = WaitForEventOrDescriptor(mine, fds[0], c.set || c.write ? 10000 : 300);
            auto took = Clock::now() - start;
            if (rc == WAIT_TIMEOUT && took < std::chrono::milliseconds(290)) return 11;
            // Woken by what happened, not by the end of its time.
            if (rc != WAIT_TIMEOUT && took > std::chrono::seconds(5)) return 13;
            return rc == WAIT_OBJECT_0       ? 0
                   : rc == WAIT_OBJECT_0 + 1 ? 1
                   : rc == WAIT_TIMEOUT      ? 2
                                             : 12;
        });
        if (c.set || c.write) {
            ASSERT_TRUE(eventually([&] { return inPoll(waiter.pid()); }));
        }
        if (c.set) {
            EXPECT_TRUE(SetEvent(ev));
        }
        if (c.write) {
            EXPECT_EQ(::write(fds[1], "x", 1), 1);
        }
        EXPECT_EQ(waiter.wait(), c.expected);
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "a signal taken once or not made";
        char byte = 0;
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        EXPECT_EQ(::read(fds[0], &byte, 1), c.write ? 1 : -1) << "the descriptor is not read";
        ::close(fds[0]);
        ::close(fds[1]);
        CloseHandle(ev);
    }
}

// A waiter killed in such a wait is skipped: the signal goes to the next
// one, which waits the same way.
TEST(SyncProcess, KilledDescriptorWaiterDoesNotSwallowASignal) {
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, "fd.killed");
    ASSERT_NE(ev, nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto waitBody = [&] {
        HANDLE mine = OpenEvent(EVENT_ALL_ACCESS, FALSE, "fd.killed");
        return mine != nullptr && WaitForEventOrDescriptor(mine, fds[0], 10000) == WAIT_OBJECT_0
                   ? 0
                   : 1;
    };
    Child doomed(waitBody);
    ASSERT_TRUE(eventually([&] { return inPoll(doomed.pid()); }));
    Child survivor(waitBody);
    ASSERT_TRUE(eventually([&] { return inPoll(survivor.pid()); }));
    doomed.kill9();
    ASSERT_TRUE(awaitZombie(doomed.pid()));
    EXPECT_TRUE(SetEvent(ev));
    EXPECT_EQ(survivor.wait(), 0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    ::close(fds[0]);
    ::close(fds[1]);
    CloseHandle(ev);
}

// Two processes create the same name at the same moment, many times: one
// object each time, and exactly one of them sees it new.
TEST(SyncProcess, SimultaneousCreateMakesOneObject) {
    constexpr int kRounds = 200;
    struct Shared {
        pthread_barrier_t barrier;
        DWORD childError[kRounds];
    };
    SharedBlock<Shared> shared;
    ASSERT_TRUE(initSharedBarrier(&shared->barrier, 2));
    auto name = [](int round) { return "race." + std::to_string(round); };

    Child child([&] {
        for (int r = 0; r < kRounds; ++r) {
            pthread_barrier_wait(&shared->barrier);
            HANDLE h = CreateEvent(nullptr, TRUE, FALSE, name(r).c_str());
            shared->childError[r] = h ? GetLastError() : 0xFFFFFFFF;
            pthread_barrier_wait(&shared->barrier);
            if (h) SetEvent(h);
            pthread_barrier_wait(&shared->barrier);  // parent looks
            pthread_barrier_wait(&shared->barrier);
            if (h) CloseHandle(h);
        }
        return 0;
    });
    int split = 0, notShared = 0;
    for (int r = 0; r < kRounds; ++r) {
        pthread_barrier_wait(&shared->barrier);
        HANDLE h = CreateEvent(nullptr, TRUE, FALSE, name(r).c_str());
        ASSERT_NE(h, nullptr);
        DWORD mine = GetLastError();
        pthread_barrier_wait(&shared->barrier);
        pthread_barrier_wait(&shared->barrier);
        DWORD theirs = shared->childError[r];
        if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) ++notShared;
        // Exactly one of the two saw ERROR_ALREADY_EXISTS, the other none.
        if ((mine == 0) != (theirs == 0) && (mine | theirs) == ERROR_ALREADY_EXISTS) ++split;
        pthread_barrier_wait(&shared->barrier);
        CloseHandle(h);
    }
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(split, kRounds) << "rounds where exactly one creator made the object";
    EXPECT_EQ(notShared, 0) << "rounds where the two ended with different objects";
    pthread_barrier_destroy(&shared->barrier);
}

// The holders of an object end without closing it (exit, or killed): the
// object is gone for the next opener and made afresh by the next creator.
TEST(SyncProcess, ObjectOfEndedHoldersIsRemadeFresh) {
    enum class End { Exit, QuickExit, Killed };
    struct Case {
        const char *what;
        End end;
        bool openFirst;  // OpenEvent before CreateEvent
    } cases[] = {
        {"exit(), then create", End::Exit, false},
        {"_exit(), then create", End::QuickExit, false},
        {"killed, then create", End::Killed, false},
        {"killed, then open", End::Killed, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Child holder([&] {
            HANDLE h = CreateEvent(nullptr, TRUE, TRUE, "leftover");
            if (h == nullptr || GetLastError() != 0) return 1;
            if (c.end == End::Killed) raise(SIGKILL);
            if (c.end == End::Exit) std::exit(0);
            return 0;  // _exit holding the handle
        });
        EXPECT_EQ(holder.wait(), c.end == End::Killed ? -SIGKILL : 0);
        // exit() lets go of the object at once; otherwise the file stays
        // until somebody looks at it.
        EXPECT_EQ(shmFileExists("leftover"), c.end != End::Exit);
        if (c.openFirst) {
            EXPECT_EQ(errorOf([] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "leftover"); }),
                      DWORD{ERROR_FILE_NOT_FOUND});
            EXPECT_FALSE(shmFileExists("leftover"));
        }
        HANDLE h = CreateEvent(nullptr, TRUE, FALSE, "leftover");
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(GetLastError(), 0u) << "a new object";
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT) << "with its own initial state";
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_FALSE(shmFileExists("leftover"));
    }
}

TEST(SyncProcess, HalfMadeObjectFileIsRemade) {
    // A creator that died before it finished leaves an empty file, or one of
    // the full size without its completion mark; a file of another size is
    // not an object of this layer either. None of them can be opened, and
    // the next creator makes a new object in its place.
    HANDLE probe = CreateMutex(nullptr, FALSE, "sizeprobe");
    ASSERT_NE(probe, nullptr);
    struct stat st;
    ASSERT_EQ(stat("/dev/shm/orv.sizeprobe", &st), 0);
    ASSERT_TRUE(CloseHandle(probe));
    const size_t full = static_cast<size_t>(st.st_size);
    for (size_t size : {size_t{0}, full, full / 2, full * 2}) {
        SCOPED_TRACE(size);
        for (bool openFirst : {true, false}) {
            {
                std::ofstream out("/dev/shm/orv.halfmade", std::ios::binary);
                out << std::string(size, '\0');
            }
            if (openFirst) {
                EXPECT_EQ(errorOf([] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "halfmade"); }),
                          DWORD{ERROR_FILE_NOT_FOUND});
            }
            HANDLE h = CreateMutex(nullptr, TRUE, "halfmade");
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(GetLastError(), 0u);
            EXPECT_TRUE(ReleaseMutex(h)) << "owned from its creation";
            EXPECT_TRUE(CloseHandle(h));
            EXPECT_FALSE(shmFileExists("halfmade"));
        }
    }
}

// A forked child shares the parent's named handles and holds the object
// itself: it outlives the parent's close and goes with the child.
TEST(SyncProcess, ForkedChildHoldsInheritedObjects) {
    struct Shared {
        std::atomic<int> step{0};
    };
    SharedBlock<Shared> shared;
    HANDLE ev = CreateEvent(nullptr, TRUE, FALSE, "inherited");
    ASSERT_NE(ev, nullptr);
    Child child([&] {
        if (!eventually([&] { return shared->step.load() == 1; })) return 1;
        if (!SetEvent(ev)) return 2;  // through the inherited handle
        shared->step = 2;
        if (!eventually([&] { return shared->step.load() == 3; })) return 3;
        return CloseHandle(ev) ? 0 : 4;
    });
    HANDLE mine = OpenEvent(EVENT_ALL_ACCESS, FALSE, "inherited");
    ASSERT_NE(mine, nullptr);
    EXPECT_TRUE(CloseHandle(ev));
    shared->step = 1;
    ASSERT_TRUE(eventually([&] { return shared->step.load() == 2; }));
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(mine));
    EXPECT_TRUE(shmFileExists("inherited")) << "the child still holds it";
    HANDLE again = OpenEvent(EVENT_ALL_ACCESS, FALSE, "inherited");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0) << "the same object";
    EXPECT_TRUE(CloseHandle(again));
    shared->step = 3;
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(shmFileExists("inherited"));
}

// Forking while other threads create and close handles: the child never
// inherits a lock held by a thread it does not have.
TEST(SyncProcess, ForkWhileOtherThreadsUseHandles) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (const char *name : {static_cast<const char *>(nullptr), "busy.event"}) {
        busy.emplace_back([&stop, name] {
            while (!stop) {
                HANDLE h = CreateEvent(nullptr, TRUE, FALSE, name);
                if (h) CloseHandle(h);
            }
        });
    }
    int stuck = 0, failed = 0;
    for (int round = 0; round < 40; ++round) {
        Child child([] {
            HANDLE h = CreateEvent(nullptr, TRUE, FALSE, "busy.event");
            HANDLE m = CreateMutex(nullptr, TRUE, "fork.child");
            bool ok = h && m && ReleaseMutex(m) && CloseHandle(h) && CloseHandle(m);
            return ok ? 0 : 1;
        });
        int status = 0;
        bool exited = eventually([&] { return waitpid(child.pid(), &status, WNOHANG) != 0; });
        if (!exited) {
            ++stuck;  // the Child kills it
        } else {
            child.markReaped();
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
        }
    }
    stop = true;
    for (auto &t : busy) t.join();
    EXPECT_EQ(stuck, 0) << "children that hung after fork";
    EXPECT_EQ(failed, 0);
}

}  // namespace

// ---- Objects other users or a full file system could turn against us ----------

namespace hostile {

std::string shmPath(const char *name) {
    return std::string("/dev/shm/orv.") + name;
}

mode_t modeOf(const char *name, gid_t *group = nullptr) {
    struct stat status {};
    if (::stat(shmPath(name).c_str(), &status) != 0) return 0;
    if (group != nullptr) *group = status.st_gid;
    return status.st_mode & 07777;
}

// Makes an object file as another user would leave it.
void foreignFile(const char *name, uid_t owner, gid_t group, mode_t mode) {
    int fd = ::open(shmPath(name).c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchown(fd, owner, group), 0);
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ::close(fd);
}

}  // namespace hostile

// Objects are the owner's alone whatever the umask (and a configured group's),
// and an object left by another user is refused unless it is that group's.
TEST(SyncHostile, ObjectsAreTheOwnersAndForeignOnesAreRefused) {
    using hostile::modeOf;
    ::umask(0);
    ::unsetenv("ORV_GROUP");
    HANDLE own = CreateEvent(nullptr, TRUE, FALSE, "OwnEvent");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(modeOf("OwnEvent"), 0600u);

    ::setenv("ORV_GROUP", "65534", 1);
    HANDLE shared = CreateMutex(nullptr, FALSE, "GroupMutex");
    ASSERT_NE(shared, nullptr);
    gid_t group = 0;
    EXPECT_EQ(modeOf("GroupMutex", &group), 0660u);
    EXPECT_EQ(group, 65534u);

    hostile::foreignFile("Foreign", 65534, 65534, 0666);
    hostile::foreignFile("ForeignGroup", 65534, 65534, 0660);
    ::unsetenv("ORV_GROUP");
    EXPECT_EQ(errorOf([] { return CreateEvent(nullptr, FALSE, FALSE, "Foreign"); }),
              DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(errorOf([] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "Foreign"); }),
              DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(errorOf([] { return CreateMutex(nullptr, FALSE, "ForeignGroup"); }),
              DWORD{ERROR_ACCESS_DENIED});
    ::setenv("ORV_GROUP", "65534", 1);
    EXPECT_EQ(errorOf([] { return CreateMutex(nullptr, FALSE, "Foreign"); }),
              DWORD{ERROR_ACCESS_DENIED});  // open to everyone: not the group's alone
    HANDLE accepted = CreateMutex(nullptr, FALSE, "ForeignGroup");
    EXPECT_NE(accepted, nullptr);
    ::unsetenv("ORV_GROUP");
    for (HANDLE h : {own, shared, accepted}) CloseHandle(h);
}

// Random bytes written over an object make every call on it fail, in the
// process that has it open and in one that opens it, never crash or hang.
TEST(SyncHostile, GarbageInAnObjectIsAnErrorNeverFollowed) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        for (bool keepHeader : {false, true}) {
            Child child([seed, keepHeader] {
                ::alarm(30);  // a hang ends the child with SIGALRM
                HANDLE event = CreateEvent(nullptr, FALSE, FALSE, "Junk");
                HANDLE mutex = CreateMutex(nullptr, FALSE, "JunkMutex");
                if (event == nullptr || mutex == nullptr) return 2;
                std::mt19937 random(seed);
                for (const char *name : {"Junk", "JunkMutex"}) {
                    int fd = ::open(hostile::shmPath(name).c_str(), O_RDWR);
                    std::vector<std::uint32_t> junk(sizeof(w32::sync::SharedObject) / 4);
                    for (auto &word : junk) word = random();
                    if (keepHeader) {
                        // Magic and kind as a real object has them: the rest must be checked.
                        junk[0] = w32::sync::kMagic;
                        junk[1] =
                            name[4] == 'M' ? w32::sync::kMutexObject : w32::sync::kEventObject;
                        junk[2] = junk[3] = junk[4] = 0;
                    }
                    if (::pwrite(fd, junk.data(), junk.size() * 4, 0) < 0) return 3;
                    ::close(fd);
                }
                if (SetEvent(event) || ResetEvent(event)) return 4;
                if (WaitForSingleObject(event, 50) != WAIT_FAILED) return 5;
                if (WaitForSingleObject(mutex, 50) != WAIT_FAILED) return 6;
                if (OpenEvent(EVENT_ALL_ACCESS, FALSE, "Junk") != nullptr) return 7;
                CloseHandle(event);
                CloseHandle(mutex);
                return 0;
            });
            EXPECT_EQ(child.wait(), 0) << (keepHeader ? "with a real header" : "all random");
            // A damaged object stays refused until it is removed.
            for (const char *name : {"Junk", "JunkMutex"}) ::unlink(hostile::shmPath(name).c_str());
        }
    }
}

// On a full file system an object cannot be made: NULL with error 8, and the
// process goes on (a sparse object file would kill it with SIGBUS).
TEST(SyncHostile, FullSharedMemoryIsAnError) {
    ASSERT_EQ(::system("mount -t tmpfs -o size=64k,mode=1777 orv-full /dev/shm"), 0);
    {
        std::ofstream fill("/dev/shm/fill", std::ios::binary);
        std::string block(4096, 'x');
        while (fill.write(block.data(), block.size())) {
        }
    }
    Child child([] {
        for (int i = 0; i < 4; ++i) {
            std::string name = "Full" + std::to_string(i);
            DWORD error = errorOf([&] {
                return i % 2 == 0 ? CreateEvent(nullptr, TRUE, FALSE, name.c_str())
                                  : CreateMutex(nullptr, TRUE, name.c_str());
            });
            if (error != ERROR_NOT_ENOUGH_MEMORY) return 10 + i;
            if (shmFileExists(name)) return 20 + i;
        }
        return 0;
    });
    EXPECT_EQ(child.wait(), 0);
}
