#!/bin/sh
# Runs every benchmark of the release build in the isolated root, each one
# repeated (5 times unless REPETITIONS says otherwise), and prints one table:
# benchmark, ours and its floor (medians, ms), the ratio of the medians and of
# the best runs, the target and whether it holds. The repetitions of a
# program's benchmarks run in a random order among each other, so that a slow
# spell of the machine falls on ours and on its floor alike. Builds the release preset
# first when a benchmark program is missing. Ratios only mean something on an
# idle machine: the floors' system calls slow down under load and every ratio
# then looks better than it is.
set -eu
cd "$(dirname "$0")/.."
repetitions=${REPETITIONS:-5}
programs="bench_records bench_registry bench_sync tblsync_bench amirtupt_bench product_bench"

missing=0
for p in $programs; do
    [ -x "build/release/bin/$p" ] || missing=1
done
if [ "$missing" = 1 ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release
fi

load=$(cut -d' ' -f1 /proc/loadavg)
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    echo "warning: load average $load is above 0.5; the ratios below look better than they are" >&2
fi

rows=$(mktemp)
log=$(mktemp)
trap 'rm -f "$rows" "$log"' EXIT
for p in $programs; do
    echo "running $p" >&2
    if ! ORV_BENCH_ROWS=1 tests/isolated.sh "build/release/bin/$p" \
        --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
        >"$log" 2>&1; then
        echo "$p failed:" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
    grep -o 'row	.*' "$log" >>"$rows" || true
done

echo "load average at the start: $load; medians and best of $repetitions repetitions"
awk -F '\t' '
    BEGIN {
        printf "%-58s %11s %11s %7s %6s %7s %s\n", "benchmark", "ours ms", "floor ms",
               "median", "best", "target", "holds"
    }
    {
        holds = "-"
        if ($7 != "-") {
            total++
            if ($5 + 0 <= $7 + 0) { holds = "yes"; within++ } else { holds = "no" }
        }
        printf "%-58s %11s %11s %7s %6s %7s %s\n", $2, $3, $4, $5, $6, $7, holds
    }
    END { printf "%d of %d ratios within target\n", within, total }
' "$rows"
