// Events, mutexes, handles and the small helpers of the Win32-compatibility
// layer within one process (threads); sync_process_test.cpp covers
// several processes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sync_helpers.h"

namespace {

using sync_test::errorOf;
using sync_test::shmFileExists;
constexpr DWORD kInvalidHandle = ERROR_INVALID_HANDLE;

TEST(SyncNames, CreateOpenAndKindConflicts) {
    SetLastError(99);
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, "names.event");
    HANDLE mx = CreateMutex(nullptr, FALSE, "names.mutex");
    ASSERT_TRUE(ev && mx);
    EXPECT_EQ(GetLastError(), 0u);
    using Call = HANDLE (*)(const char *);
    const Call createEvent = [](const char *n) { return CreateEvent(nullptr, FALSE, TRUE, n); };
    const Call openEvent = [](const char *n) { return OpenEvent(EVENT_ALL_ACCESS, FALSE, n); };
    const Call createMutex = [](const char *n) { return CreateMutex(nullptr, TRUE, n); };
    const std::string longName(300, 'x');
    struct Case {
        Call call;
        const char *name;
        bool opens;
        DWORD error;
    } cases[] = {
        {createEvent, "names.event", true, ERROR_ALREADY_EXISTS},
        {openEvent, "names.event", true, 0},
        {createMutex, "names.mutex", true, ERROR_ALREADY_EXISTS},
        {createEvent, "names.mutex", false, kInvalidHandle},
        {openEvent, "names.mutex", false, kInvalidHandle},
        {createMutex, "names.event", false, kInvalidHandle},
        {openEvent, "names.missing", false, ERROR_FILE_NOT_FOUND},
        {openEvent, "NAMES.EVENT", false, ERROR_FILE_NOT_FOUND},  // case-sensitive
        {openEvent, nullptr, false, ERROR_INVALID_PARAMETER},
        {createEvent, longName.c_str(), false, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SetLastError(99);
        HANDLE h = c.call(c.name);
        EXPECT_EQ(h != nullptr, c.opens) << (c.name ? c.name : "(null)");
        EXPECT_EQ(GetLastError(), c.error) << (c.name ? c.name : "(null)");
        EXPECT_TRUE(h == nullptr || CloseHandle(h));
    }
    // Creating an existing object took no ownership and set no state.
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(ev) && CloseHandle(mx));
}

// '/' cannot be part of a file name and '%' is the escape: neither may let
// two names meet in one object.
TEST(SyncNames, UnsafeBytesAreEscapedWithoutCollisions) {
    const char *names[] = {
        "Global\\a/b", "Global\\a%2Fb", "Global\\a%252Fb", "sp ace\t\x80\xff", "..", "."};
    std::vector<HANDLE> handles;
    for (const char *n : names) {
        SetLastError(99);
        handles.push_back(CreateEvent(nullptr, TRUE, FALSE, n));
        ASSERT_NE(handles.back(), nullptr) << n;
        EXPECT_EQ(GetLastError(), 0u) << n << " met another name's object";
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        HANDLE again = OpenEvent(EVENT_ALL_ACCESS, FALSE, names[i]);
        EXPECT_TRUE(SetEvent(again));
        EXPECT_EQ(WaitForSingleObject(handles[i], 0), WAIT_OBJECT_0) << names[i];
        EXPECT_TRUE(ResetEvent(handles[i]) && CloseHandle(again));
    }
    for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
}

// The last close removes the object and frees its name, also when its closer
// owns it (a mutex) and goes on; a wait holds the object it waits on.
TEST(SyncLifetime, LastCloseRemovesTheObject) {
    HANDLE first = CreateEvent(nullptr, FALSE, FALSE, "life");
    HANDLE second = OpenEvent(EVENT_ALL_ACCESS, FALSE, "life");
    HANDLE owned = CreateMutex(nullptr, TRUE, "life.mutex");
    ASSERT_TRUE(first && second && owned && CloseHandle(owned));
    std::atomic<pid_t> tid{0};
    std::atomic<DWORD> result{0};
    std::thread waiter([&] {
        tid = gettid();
        result = WaitForSingleObject(first, 10000);
    });
    EXPECT_TRUE(sync_test::eventually([&] { return tid != 0 && sync_test::inEventWait(tid); }));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(shmFileExists("life") && SetEvent(second));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(shmFileExists("life") || shmFileExists("life.mutex"));
    EXPECT_EQ(errorOf([] { return OpenEvent(EVENT_ALL_ACCESS, FALSE, "life"); }),
              DWORD{ERROR_FILE_NOT_FOUND});
    HANDLE again = CreateMutex(nullptr, FALSE, "life.mutex");
    EXPECT_EQ(GetLastError(), 0u);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(again));
    }).join();
    EXPECT_TRUE(CloseHandle(again));
}

// CloseHandle also closes a registry key; closed handles of either kind, like
// made-up ones, then fail with error 6, and a handle of the other kind is
// refused by the kind-specific calls.
TEST(SyncHandles, InvalidHandlesFailWithError6) {
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE mx = CreateMutex(nullptr, FALSE, nullptr);
    HANDLE closed = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HKEY key = nullptr;
    ASSERT_TRUE(ev && mx && CloseHandle(closed));
    ASSERT_EQ(RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ORV\\SyncTest", &key), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(key)));
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    for (HANDLE h : {HANDLE{}, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234), closed,
                     reinterpret_cast<HANDLE>(HKEY_LOCAL_MACHINE), reinterpret_cast<HANDLE>(key)}) {
        SCOPED_TRACE(h);
        EXPECT_EQ(errorOf([&] { return WaitForSingleObject(h, 0) != WAIT_FAILED; }),
                  kInvalidHandle);
        for (BOOL (*call)(HANDLE) : {SetEvent, ResetEvent, ReleaseMutex, CloseHandle})
            EXPECT_EQ(errorOf([&] { return call(h); }), kInvalidHandle);
    }
    EXPECT_EQ(errorOf([&] { return SetEvent(mx); }), kInvalidHandle);
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(ev); }), kInvalidHandle);
    EXPECT_TRUE(CloseHandle(ev) && CloseHandle(mx));
}

TEST(SyncEvent, StatesAndTimeouts) {
    for (BOOL manual : {FALSE, TRUE}) {
        for (BOOL initial : {FALSE, TRUE}) {
            for (const char *name : {static_cast<const char *>(nullptr), "states"}) {
                SCOPED_TRACE(::testing::Message() << "manual=" << manual << " initial=" << initial
                                                  << " named=" << (name != nullptr));
                HANDLE ev = CreateEvent(nullptr, manual, initial, name);
                ASSERT_NE(ev, nullptr);
                EXPECT_EQ(WaitForSingleObject(ev, 0), initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
                EXPECT_EQ(WaitForSingleObject(ev, 20),
                          initial && manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
                EXPECT_TRUE(SetEvent(ev) && SetEvent(ev));
                EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
                EXPECT_EQ(WaitForSingleObject(ev, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
                    << "two SetEvents without a waiter are one signal";
                EXPECT_TRUE(ResetEvent(ev));
                EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
                EXPECT_TRUE(CloseHandle(ev));
            }
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
              kInvalidHandle);
    ::close(fds[0]);
    EXPECT_EQ(errorOf([&] { return WaitForEventOrDescriptor(ev, fds[0], 0) != WAIT_FAILED; }),
              DWORD{ERROR_INVALID_PARAMETER});
    ::close(fds[1]);
    EXPECT_TRUE(CloseHandle(mx) && CloseHandle(ev));
}

// A mutex is owned recursively and only by its owner; an owner thread that
// ends leaves it to the next waiter, who owns it once, and the abandonment
// is traced at level 1.
TEST(SyncMutex, RecursionOwnershipAndAbandonment) {
    const char *trace = "/opt/orv/log/sync-trace.log";
    setenv("ORV_TRACE_FILE", trace, 1);
    for (const char *name : {static_cast<const char *>(nullptr), "recursive"}) {
        SCOPED_TRACE(name ? name : "(unnamed)");
        HANDLE mx = CreateMutex(nullptr, TRUE, name);
        ASSERT_NE(mx, nullptr);
        EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(mx, INFINITE), WAIT_OBJECT_0);
        // Owned three times: another thread can neither take nor release it.
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(mx, 30), WAIT_TIMEOUT);
            EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
        }).join();
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mx)) << i;
        EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
        // Free now: another thread takes it and ends owning it.
        std::thread([&] { EXPECT_EQ(WaitForSingleObject(mx, 0), WAIT_OBJECT_0); }).join();
        EXPECT_EQ(WaitForSingleObject(mx, 5000), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mx));
        EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
        EXPECT_TRUE(CloseHandle(mx));
    }
    std::stringstream text;
    text << std::ifstream(trace).rdbuf();
    EXPECT_NE(text.str().find(" 1 w32compat:WaitForSingleObject:"), std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("recursive was abandoned"), std::string::npos) << text.str();
    unsetenv("ORV_TRACE_FILE");
}

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

void noteSignal(int) {}

// A signal (without SA_RESTART) does not cut a Sleep short.
TEST(SyncMisc, SleepLastsThroughSignals) {
    struct sigaction sa {};
    sa.sa_handler = noteSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    pthread_t sleeper = pthread_self();
    std::atomic<bool> stop{false};
    std::thread interrupter([&] {
        for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            pthread_kill(sleeper, SIGUSR1);
    });
    auto start = std::chrono::steady_clock::now();
    Sleep(200);
    auto slept = std::chrono::steady_clock::now() - start;
    stop = true;
    interrupter.join();
    EXPECT_GE(slept, std::chrono::milliseconds(200));
}

}  // namespace
