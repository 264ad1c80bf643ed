#!/bin/sh
# Runs every benchmark of the release build in the isolated root and prints
# one table: benchmark, ours and its floor (medians, ms), the ratio of the
# medians and of the best runs, the target and whether it holds. Each program
# runs in several processes one after the other (3 unless PROCESSES says
# otherwise), each repeating its benchmarks (5 times unless REPETITIONS says
# otherwise) in a random order among each other, so that a slow spell of the
# machine falls on ours and on its floor alike; every figure of the table is
# the median of the processes' own figures, since on a shared machine one
# process can run slow or fast as a whole. Builds the release preset first
# when a benchmark program is missing. Ratios only mean something on an idle
# machine: the floors' system calls slow down under load and every ratio then
# looks better than it is.
set -eu
cd "$(dirname "$0")/.."
repetitions=${REPETITIONS:-5}
processes=${PROCESSES:-3}
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
    run=1
    while [ "$run" -le "$processes" ]; do
        echo "running $p ($run of $processes)" >&2
        if ! ORV_BENCH_ROWS=1 tests/isolated.sh "build/release/bin/$p" \
            --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
            >"$log" 2>&1; then
            echo "$p failed:" >&2
            tail -n 20 "$log" >&2
            exit 1
        fi
        grep -o 'row	.*' "$log" >>"$rows" || true
        run=$((run + 1))
    done
done

echo "load average at the start: $load; medians over $processes processes of their medians" \
    "and best of $repetitions repetitions"
awk -F '\t' '
    # The median of the n numbers in values[1..n], sorted in place.
    function median(values, n,    i, j, v) {
        for (i = 2; i <= n; i++) {
            v = values[i]
            for (j = i - 1; j >= 1 && values[j] > v; j--) values[j + 1] = values[j]
            values[j + 1] = v
        }
        return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
    }
    {
        if (!($2 in count)) { order[++labels] = $2; target[$2] = $7 }
        n = ++count[$2]
        for (c = 3; c <= 6; c++) figure[$2, c, n] = $c
    }
    END {
        printf "%-58s %11s %11s %7s %6s %7s %s\n", "benchmark", "ours ms", "floor ms",
               "median", "best", "target", "holds"
        for (l = 1; l <= labels; l++) {
            label = order[l]
            for (c = 3; c <= 6; c++) {
                for (i = 1; i <= count[label]; i++) values[i] = figure[label, c, i] + 0
                m[c] = median(values, count[label])
            }
            holds = "-"
            if (target[label] != "-") {
                total++
                ratio = sprintf("%.2f", m[5]) + 0
                if (ratio <= target[label] + 0) { holds = "yes"; within++ } else { holds = "no" }
            }
            printf "%-58s %11.4g %11.4g %7.2f %6.2f %7s %s\n", label, m[3], m[4], m[5], m[6],
                   target[label], holds
        }
        printf "%d of %d ratios within target\n", within, total
    }
' "$rows"
