// The host service: loads the library, runs its product link thread until a
// stop request and stands in for the alert manager and the event log module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace amhost {

struct Options {
    std::string root;                 // agent root; empty keeps ORV_ROOT or the default
    std::optional<uint32_t> cycleMs;  // written as "ReportTableTimeOut" when given
    std::optional<uint64_t> cycles;   // stop after so many cycles of the thread
    bool foreground = false;          // trace lines to standard error
    bool watch = false;               // writes "WatchReportDirectory" 1 when set
};

// Exit code when the host itself cannot start (library or entry missing).
inline constexpr int kHostFailure = 3;

// Runs the service; returns the product link thread's exit code, or
// kHostFailure when the thread could not be started.
int run(const Options &options);

}  // namespace amhost
