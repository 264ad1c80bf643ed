// Events, mutexes, handles and the small helpers of the Win32-compatibility
// layer within one process (threads); sync_process_test.cpp covers
// several processes.
#include <gtest/gtest.h>

#include <thread>

#include "files.h"
#include "sync_helpers.h"

using namespace sync_test;
constexpr DWORD kInvalidHandle = ERROR_INVALID_HANDLE;

TEST(SyncNames, CreateOpenAndKindConflicts) {
    SetLastError(99);
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, "names.event");
    HANDLE mx = CreateMutex(nullptr, FALSE, "names.mutex");
    ASSERT_TRUE(ev && mx);
    EXPECT_EQ(GetLastError(), 0u);
    enum Call { CreateEv, OpenEv, CreateMx };
    const std::string longName(300, 'x');
    const std::tuple<Call, const char *, LONG> cases[] = {
        {CreateEv, "names.event", ERROR_ALREADY_EXISTS},
        {OpenEv, "names.event", 0},
        {CreateMx, "names.mutex", ERROR_ALREADY_EXISTS},
        {CreateEv, "names.mutex", kInvalidHandle},
        {CreateMx, "names.event", kInvalidHandle},
        {OpenEv, "NAMES.EVENT", ERROR_FILE_NOT_FOUND},
        {OpenEv, nullptr, ERROR_INVALID_PARAMETER},
        {CreateEv, longName.c_str(), ERROR_INVALID_PARAMETER}};
    for (auto [call, name, error] : cases) {  // names are case-sensitive
        SCOPED_TRACE(name ? name : "(null)");
        SetLastError(99);
        HANDLE h = call == CreateEv ? CreateEvent(nullptr, FALSE, TRUE, name)
                   : call == OpenEv ? OpenEvent(EVENT_ALL_ACCESS, FALSE, name)
                                    : CreateMutex(nullptr, TRUE, name);
        EXPECT_EQ(h != nullptr, error == 0 || error == ERROR_ALREADY_EXISTS);
        EXPECT_EQ(GetLastError(), DWORD(error));
        EXPECT_TRUE(h == nullptr || CloseHandle(h));
    }
    // Creating an existing object took no ownership and set no state.
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(mx); }), DWORD{ERROR_NOT_OWNER});
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

// '/' cannot be part of a file name and '%' is the escape: neither may let
// two names meet in one object.
TEST(SyncNames, UnsafeBytesAreEscapedWithoutCollisions) {
    // Every handle stays open, for a later name to meet its object.
    for (const char *n :
         {"Global\\a/b", "Global\\a%2Fb", "Global\\a%252Fb", "sp ace\t\x80\xff", "..", "."}) {
        SetLastError(99);
        HANDLE h = CreateEvent(nullptr, TRUE, FALSE, n);
        EXPECT_TRUE(h && GetLastError() == 0) << n << " met another name's object";
        EXPECT_TRUE(SetEvent(OpenEvent(EVENT_ALL_ACCESS, FALSE, n)) &&
                    WaitForSingleObject(h, 0) == WAIT_OBJECT_0)
            << n;
    }
}

// The last close removes the object and frees its name, also when its closer
// owns it (a mutex) and goes on; a wait holds the object it waits on. The
// last error is the calling thread's own.
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
    EXPECT_TRUE(eventually([&] { return tid != 0 && inEventWait(tid); }));
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
    SetLastError(1234);
    std::thread([&] {
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_TRUE(WaitForSingleObject(again, 0) == WAIT_OBJECT_0 && ReleaseMutex(again));
        SetLastError(77);
    }).join();
    EXPECT_EQ(GetLastError(), 1234u);
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
        EXPECT_EQ(errorOf([&] { return WaitForEventOrDescriptor(h, 0, 0) != WAIT_FAILED; }),
                  kInvalidHandle);
        for (BOOL (*call)(HANDLE) : {SetEvent, ResetEvent, ReleaseMutex, CloseHandle})
            EXPECT_EQ(errorOf([&] { return call(h); }), kInvalidHandle);
    }
    EXPECT_EQ(errorOf([&] { return SetEvent(mx); }), kInvalidHandle);
    EXPECT_EQ(errorOf([&] { return WaitForEventOrDescriptor(mx, 0, 0) != WAIT_FAILED; }),
              kInvalidHandle);
    EXPECT_EQ(errorOf([&] { return ReleaseMutex(ev); }), kInvalidHandle);
}

TEST(SyncEvent, StatesAndTimeouts) {
    for (int kind = 0; kind < 8; ++kind) {
        const BOOL manual = kind & 1, initial = kind & 2;
        SCOPED_TRACE(kind);  // manual reset, initially set, named
        HANDLE ev = CreateEvent(nullptr, manual, initial, kind & 4 ? "states" : nullptr);
        EXPECT_EQ(WaitForSingleObject(ev, 0), initial ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_EQ(WaitForSingleObject(ev, 20), initial && manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_TRUE(SetEvent(ev) && SetEvent(ev));
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(ev, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
            << "two SetEvents without a waiter are one signal";
        EXPECT_TRUE(ResetEvent(ev));
        EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(ev));
    }
}

// The event wins when both are ready.
TEST(SyncEvent, EventWinsOverAReadyDescriptor) {
    HANDLE ev = CreateEvent(nullptr, FALSE, TRUE, nullptr);
    int fds[2];
    ASSERT_TRUE(::pipe(fds) == 0 && ::write(fds[1], "x", 1) == 1);
    EXPECT_EQ(WaitForEventOrDescriptor(ev, fds[0], 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForEventOrDescriptor(ev, fds[0], INFINITE), WAIT_OBJECT_0 + 1);
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
    }
    const std::string text = orv_test::readFile(trace);
    EXPECT_NE(text.find(" 1 w32compat:WaitForSingleObject:"), std::string::npos) << text;
    EXPECT_NE(text.find("recursive was abandoned"), std::string::npos) << text;
}
