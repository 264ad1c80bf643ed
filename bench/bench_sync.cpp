// The cost of the layer's events and mutexes over the primitives they are
// made of. Floors, in the same binary:
//  - a bare robust process-shared pthread mutex in shared memory, lock and
//    unlock, for WaitForSingleObject + ReleaseMutex of a named mutex;
//  - shm_open + mmap + munmap + close of an existing object, for
//    CreateEvent + CloseHandle of a named event;
//  - a ping-pong between two processes on bare futex words, for the same
//    ping-pong on two named auto-reset events.
// Prints each call's median time as a multiple of its floor after the runs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include "ratio_reporter.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "w32compat.h"

namespace {

// ---- uncontended mutex ----------------------------------------------------

void BM_NamedMutexWaitRelease(benchmark::State &state) {
    HANDLE mutex = CreateMutex(nullptr, FALSE, "bench.mutex");
    if (mutex == nullptr) std::abort();
    for (auto _ : state) {
        if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) std::abort();
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
}
BENCHMARK(BM_NamedMutexWaitRelease);

void BM_FloorRobustMutex(benchmark::State &state) {
    int fd = shm_open("/bench.floor.mutex", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, 4096) != 0) std::abort();
    void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) std::abort();
    auto *mutex = static_cast<pthread_mutex_t *>(p);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        pthread_mutex_lock(mutex);
        pthread_mutex_unlock(mutex);
    }
    pthread_mutex_destroy(mutex);
    munmap(p, 4096);
    close(fd);
    shm_unlink("/bench.floor.mutex");
}
BENCHMARK(BM_FloorRobustMutex);

// ---- creating a named object ----------------------------------------------

// The only handle: every round makes the object and removes it again.
void BM_CreateCloseNamedEvent(benchmark::State &state) {
    for (auto _ : state) {
        HANDLE event = CreateEvent(nullptr, TRUE, FALSE, "bench.event");
        if (event == nullptr) std::abort();
        CloseHandle(event);
    }
}
BENCHMARK(BM_CreateCloseNamedEvent);

// Another process holds the object: every round opens it as the agent's
// setup tool opens a mutex the service holds.
void BM_CreateCloseHeldNamedEvent(benchmark::State &state) {
    HANDLE keep = CreateEvent(nullptr, TRUE, FALSE, "bench.held");
    int ready[2];
    if (keep == nullptr || pipe(ready) != 0) std::abort();
    pid_t holder = fork();
    if (holder == 0) {
        HANDLE mine = OpenEvent(EVENT_ALL_ACCESS, FALSE, "bench.held");
        char c = mine != nullptr ? 1 : 0;
        if (write(ready[1], &c, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char c = 0;
    if (read(ready[0], &c, 1) != 1 || c != 1) std::abort();
    CloseHandle(keep);  // from here only the other process holds it
    for (auto _ : state) {
        HANDLE event = CreateEvent(nullptr, TRUE, FALSE, "bench.held");
        if (event == nullptr) std::abort();
        CloseHandle(event);
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}
BENCHMARK(BM_CreateCloseHeldNamedEvent);

void BM_FloorShmOpenMap(benchmark::State &state) {
    const std::size_t size = std::size_t{4096} * 3;
    int fd = shm_open("/bench.floor.shm", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
    close(fd);
    for (auto _ : state) {
        fd = shm_open("/bench.floor.shm", O_RDWR | O_CLOEXEC, 0600);
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) std::abort();
        benchmark::DoNotOptimize(*static_cast<volatile char *>(p));
        munmap(p, size);
        close(fd);
    }
    shm_unlink("/bench.floor.shm");
}
BENCHMARK(BM_FloorShmOpenMap);

// What making a named object costs at least: create the memory, reserve its
// space, map it, then unmap, close and remove it.
void BM_FloorShmCreateReserve(benchmark::State &state) {
    const std::size_t size = std::size_t{4096} * 3;
    for (auto _ : state) {
        int fd = shm_open("/bench.floor.new", O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0) std::abort();
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) std::abort();
        benchmark::DoNotOptimize(*static_cast<volatile char *>(p));
        munmap(p, size);
        close(fd);
        shm_unlink("/bench.floor.new");
    }
}
BENCHMARK(BM_FloorShmCreateReserve);

// ---- hand-off between two processes ---------------------------------------

// One round: this process signals "ping", the echo process waits for it and
// signals "pong", this process waits for that.
void BM_EventPingPong(benchmark::State &state) {
    HANDLE ping = CreateEvent(nullptr, FALSE, FALSE, "bench.ping");
    HANDLE pong = CreateEvent(nullptr, FALSE, FALSE, "bench.pong");
    auto *stop = static_cast<std::atomic<int> *>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (ping == nullptr || pong == nullptr || stop == MAP_FAILED) std::abort();
    new (stop) std::atomic<int>(0);
    pid_t echo = fork();
    if (echo == 0) {
        HANDLE in = OpenEvent(EVENT_ALL_ACCESS, FALSE, "bench.ping");
        HANDLE out = OpenEvent(EVENT_ALL_ACCESS, FALSE, "bench.pong");
        while (WaitForSingleObject(in, INFINITE) == WAIT_OBJECT_0 && stop->load() == 0)
            SetEvent(out);
        _exit(0);
    }
    for (auto _ : state) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, INFINITE) != WAIT_OBJECT_0) std::abort();
    }
    stop->store(1);
    SetEvent(ping);
    waitpid(echo, nullptr, 0);
    CloseHandle(ping);
    CloseHandle(pong);
    munmap(stop, 4096);
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

long futex(std::atomic<std::uint32_t> *word, int op, std::uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(word), op, value, nullptr, nullptr,
                   0);
}

// Waits until *word is 1 and sets it back to 0 (a bare auto-reset event).
void floorWait(std::atomic<std::uint32_t> *word) {
    for (;;) {
        std::uint32_t expected = 1;
        if (word->compare_exchange_strong(expected, 0)) return;
        futex(word, FUTEX_WAIT, 0);
    }
}
void floorSet(std::atomic<std::uint32_t> *word) {
    word->store(1);
    futex(word, FUTEX_WAKE, 1);
}

void BM_FloorFutexPingPong(benchmark::State &state) {
    auto *words = static_cast<std::atomic<std::uint32_t> *>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (words == MAP_FAILED) std::abort();
    std::atomic<std::uint32_t> *ping = new (&words[0]) std::atomic<std::uint32_t>(0);
    std::atomic<std::uint32_t> *pong = new (&words[16]) std::atomic<std::uint32_t>(0);
    std::atomic<std::uint32_t> *stop = new (&words[32]) std::atomic<std::uint32_t>(0);
    pid_t echo = fork();
    if (echo == 0) {
        for (;;) {
            floorWait(ping);
            if (stop->load() != 0) _exit(0);
            floorSet(pong);
        }
    }
    for (auto _ : state) {
        floorSet(ping);
        floorWait(pong);
    }
    stop->store(1);
    floorSet(ping);
    waitpid(echo, nullptr, 0);
    munmap(words, 4096);
}
BENCHMARK(BM_FloorFutexPingPong)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    orv_bench::RatioReporter reporter;
    reporter.setTarget("event create and close", 2.0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("mutex wait and release", "BM_NamedMutexWaitRelease",
                        "BM_FloorRobustMutex");
    reporter.printRatio("event create and close", "BM_CreateCloseNamedEvent",
                        "BM_FloorShmCreateReserve");
    reporter.printRatio("held event create and close", "BM_CreateCloseHeldNamedEvent",
                        "BM_FloorShmOpenMap");
    reporter.printRatio("hand-off between processes", "BM_EventPingPong/real_time",
                        "BM_FloorFutexPingPong/real_time");
    return 0;
}
