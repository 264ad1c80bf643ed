// Events, mutexes, handles and the small helpers of the Win32-compatibility
// layer within one process (threads); sync_process_test.cpp covers
// several processes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sync_helpers.h"

namespace {

using sync_test::errorOf;
using sync_test::settle;
using sync_test::shmFileExists;
constexpr DWORD kInvalidHandle = ERROR_INVALID_HANDLE;

// Waits on a handle from a thread of its own; the result is known after join.
class Waiter {
  public:
    Waiter(HANDLE handle, DWORD ms)
        : thread_([this, handle, ms] {
              tid_ = gettid();
              result_ = WaitForSingleObject(handle, ms);
          }) {}
    ~Waiter() {
        if (thread_.joinable()) thread_.join();
    }
    DWORD join() {
        thread_.join();
        return result_;
    }
    // True once the thread sleeps in its wait on an event.
    bool awaitWaiting() {
        while (tid_ == 0) std::this_thread::yield();
        return sync_test::awaitEventWait(tid_);
    }

  private:
    std::atomic<pid_t> tid_{0};
    std::atomic<DWORD> result_{0};
    std::thread thread_;
};

TEST(SyncNames, CreateOpenAndKindConflicts) {
    SetLastError(99);
    HANDLE ev = CreateEvent(nullptr, TRUE, FALSE, "names.event");
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE mx = CreateMutex(nullptr, FALSE, "names.mutex");
    ASSERT_NE(mx, nullptr);
    EXPECT_EQ(GetLastError(), 0u);

    using Call = HANDLE (*)(const char *);
    const Call createEvent = [](const char *n) { return CreateEvent(nullptr, FALSE, TRUE, n); };
    const Call openEvent = [](const char *n) { return OpenEvent(EVENT_ALL_ACCESS, FALSE, n); };
    const Call createMutex = [](const char *n) { return CreateMutex(nullptr, TRUE, n); };
    struct Case {
        const char *what;
        Call call;
        const char *name;
        bool opens;
        DWORD error;
    } cases[] = {
        {"create existing event", createEvent, "names.event", true, ERROR_ALREADY_EXISTS},
        {"open existing event", openEvent, "names.event", true, 0},
        {"create existing mutex", createMutex, "names.mutex", true, ERROR_ALREADY_EXISTS},
        {"event over a mutex", createEvent, "names.mutex", false, kInvalidHandle},
        {"open event of a mutex", openEvent, "names.mutex", false, kInvalidHandle},
        {"mutex over an event", createMutex, "names.event", false, kInvalidHandle},
        {"open missing", openEvent, "names.missing", false, ERROR_FILE_NOT_FOUND},
        {"names are case-sensitive", openEvent, "NAMES.EVENT", false, ERROR_FILE_NOT_FOUND},
        {"open without name", openEvent, nullptr, false, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SetLastError(99);
        HANDLE h = c.call(c.name);
        EXPECT_EQ(h != nullptr, c.opens) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        if (h) {
            EXPECT_TRUE(CloseHandle(h));
        }
    }
    // Creating an existing mutex with bInitialOwner did not take it: this
    // thread does not own it.
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
    // Creating an existing auto-reset event with bInitialState TRUE left its
    // state alone.
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_TRUE(CloseHandle(mx));
}

TEST(SyncNames, UnsafeBytesAreEscapedWithoutCollisions) {
    // '/' cannot be part of a file name and '%' is the escape: neither may
    // let two names meet in one object.
    const char *names[] = {
        "Global\\a/b", "Global\\a%2Fb", "Global\\a%252Fb", "sp ace\t\x80\xff", "..", "."};
    std::vector<HANDLE> handles;
    for (const char *n : names) {
        SetLastError(99);
        HANDLE h = CreateEvent(nullptr, TRUE, FALSE, n);
        ASSERT_NE(h, nullptr) << n;
        EXPECT_EQ(GetLastError(), 0u) << n << " met another name's object";
        handles.push_back(h);
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        HANDLE again = OpenEvent(EVENT_ALL_ACCESS, FALSE, names[i]);
        ASSERT_NE(again, nullptr) << names[i];
        EXPECT_TRUE(SetEvent(again));
        EXPECT_EQ(WaitForSingleObject(handles[i], 0), WAIT_OBJECT_0) << names[i];
        EXPECT_TRUE(ResetEvent(handles[i]));
        EXPECT_TRUE(CloseHandle(again));
    }
    for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));

    std::string longName(300, 'x');
    EXPECT_EQ(errorOf([&] { return CreateEvent(nullptr, TRUE, FALSE, longName.c_str()); }),
              DWORD{ERROR_INVALID_PARAMETER});
}

TEST(SyncLifetime, LastCloseRemovesTheObject) {
    HANDLE first = CreateEvent(nullptr, TRUE, TRUE, "life");
    ASSERT_NE(first, nullptr);
    HANDLE second = OpenEvent(EVENT_ALL_ACCESS, FALSE, "life");
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(shmFileExists("life"));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(shmFileExists("life"));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "one handle keeps the state";
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(shmFileExists("life"));
    EXPECT_EQ(errorOf([] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "life"); }),
              DWORD{ERROR_FILE_NOT_FOUND});
    // A new object of the name starts from its own initial state.
    HANDLE fresh = CreateEvent(nullptr, TRUE, FALSE, "life");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(fresh));
}

// CloseHandle also closes a registry key; closed handles of either kind, like
// made-up ones, then fail with error 6.
TEST(SyncHandles, InvalidHandlesFailWithError6) {
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE mx = CreateMutex(nullptr, FALSE, nullptr);
    HANDLE closed = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HKEY key = nullptr;
    ASSERT_TRUE(ev && mx && closed);
    ASSERT_TRUE(CloseHandle(closed));
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\SyncTest", &key), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(key)));
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    const HANDLE bogus[] = {nullptr,
                            INVALID_HANDLE_VALUE,
                            reinterpret_cast<HANDLE>(0x1234),
                            closed,
                            reinterpret_cast<HANDLE>(HKEY_LOCAL_MACHINE),
                            reinterpret_cast<HANDLE>(key)};
    for (HANDLE h : bogus) {
        SCOPED_TRACE(h);
        EXPECT_EQ(errorOf([&] { return WaitForSingleObject(h, 0) != WAIT_FAILED; }),
                  kInvalidHandle);
        for (BOOL (*call)(HANDLE) : {SetEvent, ResetEvent, ReleaseMutex, CloseHandle})
            EXPECT_EQ(errorOf([&] { return call(h); }), kInvalidHandle);
    }
    // A handle of the other kind is refused by the kind-specific calls.
    EXPECT_EQ(errorOf([&] { return SetEvent(mx); }), kInvalidHandle);
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(ev); }), kInvalidHandle);
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_TRUE(CloseHandle(mx));
}

// ---- events -----------------------------------------------------------------

TEST(SyncEvent, StatesAndTimeouts) {
    struct Case {
        BOOL manual;
        BOOL initial;
        DWORD firstWait;
        DWORD secondWait;  // what a second wait sees without a new SetEvent
    } cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case &c : cases) {
        for (const char *name : {static_cast<const char *>(nullptr), "states"}) {
            SCOPED_TRACE(::testing::Message() << "manual=" << c.manual << " initial=" << c.initial
                                              << " name=" << (name ? name : "(none)"));
            HANDLE ev = CreateEvent(nullptr, c.manual, c.initial, name);
            ASSERT_NE(ev, nullptr);
            EXPECT_EQ(WaitForSingleObject(ev, 0), c.firstWait);
            EXPECT_EQ(WaitForSingleObject(ev, 20), c.secondWait);
            EXPECT_TRUE(SetEvent(ev));
            EXPECT_TRUE(SetEvent(ev)) << "setting a set event is harmless";
            EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(ev, 0), c.manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
                << "two SetEvents without a waiter are one signal";
            EXPECT_TRUE(ResetEvent(ev));
            EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
            EXPECT_TRUE(CloseHandle(ev));
        }
    }
}

// The event wins when both are ready; a handle that is no event and a
// descriptor that is not open are refused.
TEST(SyncEvent, EventOrDescriptorPrecedenceAndRefusals) {
    HANDLE ev = CreateEvent(nullptr, FALSE, TRUE, nullptr);
    HANDLE mx = CreateMutex(nullptr, FALSE, nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    EXPECT_EQ(WaitForEventOrDescriptor(ev, fds[0], 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForEventOrDescriptor(ev, fds[0], INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(errorOf([&] { return WaitForEventOrDescriptor(mx, fds[0], 0) != WAIT_FAILED; }),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ::close(fds[0]);
    EXPECT_EQ(errorOf([&] { return WaitForEventOrDescriptor(ev, fds[0], 0) != WAIT_FAILED; }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ::close(fds[1]);
    CloseHandle(mx);
    CloseHandle(ev);
}

TEST(SyncEvent, AutoResetReleasesOneWaiterPerSet) {
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(ev, nullptr);
    constexpr int kWaiters = 5;
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    std::atomic<pid_t> tids[kWaiters] = {};
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back([&, i] {
            tids[i] = gettid();
            if (WaitForSingleObject(ev, 10000) == WAIT_OBJECT_0) ++released;
        });
    }
    for (auto &tid : tids) {
        EXPECT_TRUE(sync_test::eventually([&] { return tid != 0 && sync_test::inEventWait(tid); }));
    }
    for (int k = 1; k <= kWaiters; ++k) {
        EXPECT_TRUE(SetEvent(ev));
        EXPECT_TRUE(sync_test::eventually([&] { return released.load() >= k; }));
        settle();  // a window in which a second waiter would get through
        EXPECT_EQ(released.load(), k) << "after SetEvent number " << k;
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "the signal was consumed";
    }
    for (auto &t : threads) t.join();
    EXPECT_TRUE(CloseHandle(ev));
}

TEST(SyncEvent, ClosingAnotherHandleDoesNotDisturbAWaiter) {
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, "closewait");
    HANDLE other = OpenEvent(EVENT_ALL_ACCESS, FALSE, "closewait");
    ASSERT_TRUE(ev && other);
    Waiter w(ev, 10000);
    ASSERT_TRUE(w.awaitWaiting());
    EXPECT_TRUE(CloseHandle(ev));  // the wait holds the object
    EXPECT_TRUE(SetEvent(other));
    EXPECT_EQ(w.join(), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(other));
}

// ---- mutexes ------------------------------------------------------------------

TEST(SyncMutex, RecursionAndOwnership) {
    for (const char *name : {static_cast<const char *>(nullptr), "recursive"}) {
        SCOPED_TRACE(name ? name : "(unnamed)");
        HANDLE mx = CreateMutex(nullptr, TRUE, name);
        ASSERT_NE(mx, nullptr);
        EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(mx, INFINITE), WAIT_OBJECT_0);
        // Owned three times: another thread cannot take it or release it.
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(mx, 30), WAIT_TIMEOUT);
            EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
        }).join();
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mx)) << i;
        EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
        // Now free for another thread.
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0);
            EXPECT_TRUE(ReleaseMutex(mx));
        }).join();
        EXPECT_TRUE(CloseHandle(mx));
    }
}

TEST(SyncMutex, ExcludesThreads) {
    HANDLE mx = CreateMutex(nullptr, FALSE, "exclude");
    ASSERT_NE(mx, nullptr);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            // Each thread opens its own handle, as separate callers would.
            HANDLE own = CreateMutex(nullptr, FALSE, "exclude");
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(WaitForSingleObject(own, INFINITE), WAIT_OBJECT_0);
                long seen = counter;
                if (i % 64 == 0) std::this_thread::yield();
                counter = seen + 1;
                ASSERT_TRUE(ReleaseMutex(own));
            }
            CloseHandle(own);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 4 * 2000);
    EXPECT_TRUE(CloseHandle(mx));
}

TEST(SyncMutex, OwnerThreadExitAbandonsTheMutex) {
    const char *path = "/opt/orv/log/sync-trace.log";
    unlink(path);
    setenv("ORV_TRACE_FILE", path, 1);

    HANDLE mx = CreateMutex(nullptr, FALSE, "abandon");
    ASSERT_NE(mx, nullptr);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mx, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mx)) << "the new owner owns it once";
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
    EXPECT_TRUE(CloseHandle(mx));

    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_NE(text.str().find(" 1 w32compat:WaitForSingleObject:"), std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("abandon"), std::string::npos) << text.str();
    unlink(path);
    unsetenv("ORV_TRACE_FILE");
}

TEST(SyncMutex, ClosingAnOwnedMutexKeepsTheOwnerSafe) {
    // The owner closes its only handle while owning the mutex and goes on
    // running; the name is gone and a new mutex of the name is free.
    HANDLE mx = CreateMutex(nullptr, TRUE, "closeowned");
    ASSERT_NE(mx, nullptr);
    EXPECT_TRUE(CloseHandle(mx));
    HANDLE again = CreateMutex(nullptr, FALSE, "closeowned");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(again));
    }).join();
    EXPECT_TRUE(CloseHandle(again));
}

// ---- helpers ------------------------------------------------------------------

TEST(SyncMisc, LastErrorIsPerThread) {
    SetLastError(1234);
    DWORD seen = 0;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(77);
    }).join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(SyncMisc, CompareFileTime) {
    struct Case {
        FILETIME a, b;
        LONG expected;
    } cases[] = {
        {{0, 0}, {0, 0}, 0},
        {{1, 0}, {0, 0}, 1},
        {{0, 0}, {1, 0}, -1},
        // The high word decides before the low word, both unsigned.
        {{0xFFFFFFFFu, 0}, {0, 1}, -1},
        {{0, 0x80000000u}, {0xFFFFFFFFu, 0x7FFFFFFFu}, 1},
        {{5, 7}, {5, 7}, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CompareFileTime(&c.a, &c.b), c.expected)
            << c.a.dwHighDateTime << ":" << c.a.dwLowDateTime << " vs " << c.b.dwHighDateTime << ":"
            << c.b.dwLowDateTime;
    }
    EXPECT_EQ(errorOf([&] { return CompareFileTime(nullptr, &cases[0].a); }),
              DWORD{ERROR_INVALID_PARAMETER});
}

TEST(SyncMisc, Lstrcpy) {
    char buf[16] = "xxxxxxxxxxxxxxx";
    for (const char *text : {"abc", ""}) {
        EXPECT_EQ(lstrcpy(buf, text), buf);
        EXPECT_STREQ(buf, text);
    }
    EXPECT_EQ(lstrcpy(nullptr, "abc"), nullptr);
    EXPECT_EQ(lstrcpy(buf, nullptr), nullptr);
}

void noteSignal(int) {}

TEST(SyncMisc, SleepLastsThroughSignals) {
    struct sigaction sa {};
    sa.sa_handler = noteSignal;  // no SA_RESTART: the sleep sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    pthread_t sleeper = pthread_self();
    std::atomic<bool> stop{false};
    std::thread interrupter([&] {
        while (!stop) {
            pthread_kill(sleeper, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // signal pace
        }
    });
    auto start = std::chrono::steady_clock::now();
    Sleep(200);
    auto slept = std::chrono::steady_clock::now() - start;
    stop = true;
    interrupter.join();
    EXPECT_GE(slept, std::chrono::milliseconds(200));
}

}  // namespace
