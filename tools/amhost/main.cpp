// amhost [--root DIR] [--cycle SECONDS] [--cycles N] [--foreground] [--watch]
//
// The host service of the alert-report library: loads it, runs its product
// link thread and stops it on SIGTERM or SIGINT, exiting with the thread's
// exit code.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <exception>

#include "host.h"

namespace {

int runHost(int argc, char **argv) {
    amhost::Options options;
    double cycleSeconds = -1;
    uint64_t cycles = 0;

    CLI::App app{
        "Host service: keeps the alert-report product registry in step with "
        "/opt/orv/report/inf"};
    app.set_version_flag("--version", "amhost " ORV_VERSION);
    app.add_option("--root", options.root, "agent root directory (sets ORV_ROOT)");
    app.add_option("--cycle", cycleSeconds,
                   "cycle of the product link thread in seconds, fractions allowed "
                   "(written as ReportTableTimeOut)")
        ->check(CLI::Range(0.0, 4294967.294));
    app.add_option("--cycles", cycles,
                   "stop by itself after N cycles (each counted when the thread's scan "
                   "opens /opt/orv/report/inf)")
        ->check(CLI::PositiveNumber);
    app.add_flag("--foreground", options.foreground, "write trace lines to standard error");
    app.add_flag("--watch", options.watch,
                 "also run a cycle as soon as /opt/orv/report/inf changes (written as "
                 "WatchReportDirectory)");
    CLI11_PARSE(app, argc, argv);

    if (cycleSeconds >= 0)
        options.cycleMs = static_cast<uint32_t>(std::llround(cycleSeconds * 1000));
    if (cycles > 0) options.cycles = cycles;
    return amhost::run(options);
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return runHost(argc, argv);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "amhost: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "amhost: unexpected failure\n");
    }
    return amhost::kHostFailure;
}
