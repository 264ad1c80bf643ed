#!/bin/sh
# The product link thread with WatchReportDirectory 1 and a 900 s cycle,
# measured on the release build, each part in its own isolated root
# (tests/isolated.sh):
#  * the time from a report information file's close to its product being
#    registered and its table imported, median and 99th percentile over
#    DROPS (100) files dropped one at a time;
#  * the number of cycles BURST (1000) files written at once lead to;
#  * the link thread's wake-ups over IDLE (60) seconds with nothing
#    changing, with and without watching, for the 900 s cycle and a 5 s one
#    (the four idle runs go side by side: they sleep).
# Not part of the tests. Builds the release preset first when bench_watch
# is missing.
set -eu
cd "$(dirname "$0")/.."
drops=${DROPS:-100}
burst=${BURST:-1000}
idle=${IDLE:-60}
bench=build/release/bin/bench_watch
if [ ! -x "$bench" ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target bench_watch
fi

echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for cycle in 900000 5000; do
    for watch in 0 1; do
        tests/isolated.sh "$bench" idle "$idle" "$cycle" "$watch" >"$out/idle.$cycle.$watch" 2>&1 &
    done
done
wait
tests/isolated.sh "$bench" drops "$drops" "$burst" >"$out/drops" 2>&1 ||
    { cat "$out/drops" >&2; exit 1; }
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

value() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
echo
echo "drop to registered and imported, $drops files one by one, 900 s cycle:"
echo "  median $(value "$out/drops" drop_to_imported_median_ms) ms," \
    "p99 $(value "$out/drops" drop_to_imported_p99_ms) ms," \
    "max $(value "$out/drops" drop_to_imported_max_ms) ms"
echo "burst of $(value "$out/drops" burst_files) files (written in $(value "$out/drops" burst_write_ms) ms):"
echo "  $(value "$out/drops" burst_cycles) cycles, all imported" \
    "$(value "$out/drops" burst_to_all_imported_ms) ms after the first write"
echo "wake-ups of the link thread over $idle s with nothing changing:"
for cycle in 900000 5000; do
    for watch in 0 1; do
        f=$out/idle.$cycle.$watch
        grep -q idle_wakeups "$f" || { cat "$f" >&2; exit 1; }
        echo "  cycle $((cycle / 1000)) s, watching $watch: $(value "$f" idle_wakeups) wake-ups," \
            "$(value "$f" idle_cycles) cycles, $(value "$f" idle_other_threads) other threads"
    done
done
