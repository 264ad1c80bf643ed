// Absolute CLOCK_MONOTONIC deadlines for timed waits.
#pragma once

#include <time.h>

#include <cstdint>

namespace orv {

// Now plus `milliseconds` on the monotonic clock.
inline timespec deadlineAfter(std::uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace orv
