#!/bin/bash
# Scale of the product link thread: PRODUCTS product files (default 2000) are
# in place when amhost starts; the first cycle registers them all and imports
# their report tables. Prints that cycle's duration and the steady-state cycle
# time (cycle of 0 ms, STEADY further cycles, default 20) from the trace
# time stamps. Meant for the release build.
#
#   bench/soak/scale.sh [BUILD_DIR]      (default build/release)
#
# Runs itself inside tests/isolated.sh (private /opt and /dev/shm).
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
build=$(realpath "${1:-build/release}")

if [ "${SCALE_INSIDE:-}" != 1 ]; then
    export SCALE_INSIDE=1
    exec "$repo/tests/isolated.sh" bash "$0" "$build"
fi

products=${PRODUCTS:-2000}
steady=${STEADY:-20}
export PATH="$build/bin:$PATH"
export ORV_TRACE_LEVELS=1,2,3
inf=/opt/orv/report/inf
tables=/opt/orv/report/tables
trace=/opt/orv/log/trace.log
mkdir -p "$inf" "$tables"

for ((i = 0; i < products; i++)); do
    name=$(printf 'Scale%05d' "$i")
    printf '%s,1,INFO,started\n%s,2,WARNING,degraded\n%s,3,ERROR,failed\n' \
        "$name" "$name" "$name" >"$tables/$name.tbl"
    printf 'ProductName="%s"\nDisplayName="Scale product %d"\nLanguageID="E"\nProductID=%d\nVersion="1.0"\nReportTableName="%s"\n' \
        "$name" "$i" "$i" "$tables/$name.tbl" >"$inf/$name.inf"
done
echo "scale: $products product files, build $build"

rc=0
amhost --cycle 0 --cycles $((steady + 1)) || rc=$?
echo "scale: amhost exit code $rc"

# Seconds of the day of a trace line ("YYYY-MM-DD HH:MM:SS.mmm ...").
grep -E 'PPLinkThread .*(set cycle to|sync registry over)' "$trace" | awk -v steady="$steady" '
    { split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3] }
    /set cycle to/ { start = s; next }
    { ends[++n] = s }
    END {
        if (n < 2) { print "scale: not enough cycles traced"; exit 1 }
        printf "scale: first cycle (registers and imports all): %.3f s\n", ends[1] - start
        m = n - 1; if (m > steady) m = steady
        printf "scale: steady state: %.1f ms per cycle over %d cycles (%.1f cycles/s)\n",
               (ends[1 + m] - ends[1]) * 1000 / m, m, m / (ends[1 + m] - ends[1])
        printf "%.1f\n", (ends[1 + m] - ends[1]) * 1000 / m > "/opt/orv/steady_ms"
    }'
steady_ms=$(cat /opt/orv/steady_ms 2>/dev/null || echo 0)
# The floor of a steady cycle: reading every product file once (one process,
# no parsing, no registry). The ratio says what the scan, the registry and the
# reconciliation pass cost on top of the bare file reads.
floor_ms=""
for _ in 1 2 3; do
    floor_start=$(date +%s%N)
    find "$inf" -type f -exec cat {} + >/dev/null
    ms=$(( ($(date +%s%N) - floor_start) / 1000000 ))
    if [ -z "$floor_ms" ] || [ "$ms" -lt "$floor_ms" ]; then floor_ms=$ms; fi
done
echo "scale: floor, reading the $products product files once (best of 3): ${floor_ms} ms"
awk -v c="$steady_ms" -v f="$floor_ms" 'BEGIN { if (f > 0) printf "scale: steady cycle / floor = %.2f\n", c / f }'
registered=$(orvpp list | grep -c '^ProductName: Scale' || true)
echo "scale: products registered: $registered of $products"
[ "$rc" -eq 0 ] && [ "$registered" -eq "$products" ]
