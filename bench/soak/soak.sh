#!/bin/bash
# Soak of the product link thread: amhost runs CYCLES cycles (default 10000)
# with a cycle of 0 ms over PRODUCTS product files (default 200) while files
# are created, rewritten with a higher version and removed at random. Meant
# for the sanitised dev build: amhost must end with exit code 0 and without
# an AddressSanitizer or LeakSanitizer report, and the registry must end in
# step with the directory.
#
#   bench/soak/soak.sh [BUILD_DIR]      (default build/dev)
#
# Runs itself inside tests/isolated.sh (private /opt and /dev/shm).
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
build=$(realpath "${1:-build/dev}")

if [ "${SOAK_INSIDE:-}" != 1 ]; then
    export SOAK_INSIDE=1
    exec "$repo/tests/isolated.sh" bash "$0" "$build"
fi

cycles=${CYCLES:-10000}
products=${PRODUCTS:-200}
quiet=${QUIET_CYCLES:-300}   # last cycles without changes, to settle
bin=$build/bin
export PATH="$bin:$PATH"
export ORV_TRACE_LEVELS=1,2,3
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
inf=/opt/orv/report/inf
tables=/opt/orv/report/tables
trace=/opt/orv/log/trace.log
# Files are written beside the directory and moved in whole: a scan never
# reads half a file, and no temporary file of the directory is taken for a
# product of its own.
staging=/opt/orv/report/staging
mkdir -p "$inf" "$tables" "$staging" /opt/orv/PROGRAM
printf 'Core,1,INFO,traditional entry\n' >/opt/orv/PROGRAM/AMIREPRT.TBL

base=$(date +%s)
declare -a version present
# A product file of product i at version v; its modification time moves on
# with the version so that every rewrite is seen (times are whole seconds).
write_product() {
    local i=$1 v=$2 name
    name=$(printf 'Soak%04d' "$i")
    printf '%s,%d,ERROR,failure %d of version %d\n' "$name" "$v" "$v" "$v" >"$tables/$name.tbl"
    printf 'ProductName="%s"\nDisplayName="Soak product %d"\nLanguageID="E"\nProductID=%d\nVersion="%06d"\nReportTableName="%s"\n' \
        "$name" "$i" "$i" "$v" "$tables/$name.tbl" >"$staging/$name.inf"
    touch -d "@$((base + v))" "$staging/$name.inf"
    mv "$staging/$name.inf" "$inf/$name.inf"
}
for ((i = 0; i < products; i++)); do
    version[i]=1
    present[i]=1
    write_product "$i" 1
done

# The thread's finished cycles, from its trace lines. The trace log rotates
# at 10 MB, so the lines are counted as they come: the part of the log not
# yet read, and after a rotation the rest of the previous generation.
trace_ino="" trace_off=0
count_lines() { grep -c 'sync registry over. release mutex' || true; }
update_cycles() {
    local ino size
    ino=$(stat -c %i "$trace" 2>/dev/null) || return 0
    if [ "$ino" != "$trace_ino" ]; then
        if [ -n "$trace_ino" ]; then
            cycles_seen=$((cycles_seen + $(tail -c +$((trace_off + 1)) "$trace.1" 2>/dev/null | count_lines || true)))
        fi
        trace_ino=$ino trace_off=0
    fi
    size=$(stat -c %s "$trace")
    # head ends the pipe early: tail's SIGPIPE is no failure here.
    cycles_seen=$((cycles_seen + $(set +o pipefail; tail -c +$((trace_off + 1)) "$trace" | head -c $((size - trace_off)) | count_lines)))
    trace_off=$size
}
cycles_seen=0

# Settings the copy library reads on every pass; left missing they would
# fill the trace log with expected misses.
orvreg add 'SOFTWARE\ORV\QORAlertMan' LanguageID --type dword --data 1033 >/dev/null
orvreg add 'SOFTWARE\ORV\QORAlertMan' DispersedReportTable --type dword --data 1 >/dev/null

echo "soak: $products product files, $cycles cycles of 0 ms, build $build"
start=$(date +%s.%N)
amhost --cycle 0 --cycles "$cycles" 2>/opt/orv/log/amhost.stderr &
host=$!

ops=0 creates=0 rewrites=0 removes=0
while kill -0 "$host" 2>/dev/null; do
    if ((ops % 5 == 0)); then
        update_cycles
        ((cycles_seen < cycles - quiet)) || break
    fi
    i=$((RANDOM % products))
    name=$(printf 'Soak%04d' "$i")
    if ((present[i] == 0)); then
        version[i]=$((version[i] + 1))
        write_product "$i" "${version[i]}"
        present[i]=1
        creates=$((creates + 1))
    elif ((RANDOM % 2 == 0)); then
        version[i]=$((version[i] + 1))
        write_product "$i" "${version[i]}"
        rewrites=$((rewrites + 1))
    else
        rm -f "$inf/$name.inf"
        present[i]=0
        removes=$((removes + 1))
    fi
    ops=$((ops + 1))
    sleep 0.005
done
update_cycles
stopped_at=$cycles_seen
echo "soak: $ops changes ($creates created, $rewrites rewritten, $removes removed) up to cycle $stopped_at; settling"

rc=0
wait "$host" || rc=$?
end=$(date +%s.%N)
update_cycles
done_cycles=$cycles_seen
awk -v c="$done_cycles" -v s="$start" -v e="$end" -v rc="$rc" \
    'BEGIN { printf "soak: amhost exit code %d after %d cycles in %.1f s (%.1f cycles/s)\n", rc, c, e - s, c / (e - s) }'

status=0
if ((done_cycles - stopped_at < 3)); then
    echo "soak: only $((done_cycles - stopped_at)) cycles after the last change: raise QUIET_CYCLES" >&2
    status=1
fi
if grep -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error' /opt/orv/log/amhost.stderr; then
    echo "soak: sanitizer report above" >&2
    status=1
else
    echo "soak: no sanitizer report (leaks checked at exit)"
fi
[ "$rc" -eq 0 ] || status=1

# The registry against the directory: every file's product registered at the
# file's version, nothing else registered, and one inner product and one
# report table source per product.
expected=$(for ((i = 0; i < products; i++)); do
    if ((present[i] == 1)); then printf 'Soak%04d %06d\n' "$i" "${version[i]}"; fi
done | sort)
registered=$(orvpp list | awk '/^ProductName: /{n=$2} /^Version: /{print n, $2}' | sort)
if [ "$expected" == "$registered" ]; then
    echo "soak: registry in step: $(echo "$expected" | grep -c .) products, versions match"
else
    echo "soak: registry NOT in step with the directory:" >&2
    diff <(echo "$expected") <(echo "$registered") | head -20 >&2 || true
    status=1
fi
# Inner products and the owners of report table entries: the same names.
names=$(echo "$expected" | awk 'NF { print $1 }')
inner=$(orvreg query 'SOFTWARE\ORV\QORAlertMan\AlertReport' | grep -o 'Soak[0-9]*' | sort -u)
owners=$(orvreg table | awk 'NR > 1 && $4 ~ /^Soak/ { print $4 }' | sort -u)
for what in inner owners; do
    if [ "${!what}" == "$names" ]; then
        echo "soak: $what in step with the directory"
    else
        echo "soak: $what NOT in step with the directory:" >&2
        diff <(echo "$names") <(echo "${!what}") | head -20 >&2 || true
        status=1
    fi
done
echo "soak: level-1 trace lines in the last two trace generations: $(cat "$trace.1" "$trace" 2>/dev/null | grep -c '^[^ ]* [^ ]* [^ ]* 1 ' || true)"
# SOAK_KEEP=DIR keeps the logs and the registry of the run for a post-mortem.
if [ -n "${SOAK_KEEP:-}" ]; then
    mkdir -p "$SOAK_KEEP" && cp -r /opt/orv/log /opt/orv/var "$SOAK_KEEP/"
    ls -l --time-style=+%s "$inf" >"$SOAK_KEEP/inf.txt"
fi
exit $status
