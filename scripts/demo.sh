#!/bin/bash
# The main command: builds the project (release preset) and shows the host
# service at work on an isolated agent root. On a fresh Debian 12 machine it
# first installs the Debian packages it needs (run it as root there).
#
# The demonstration runs in a private mount namespace with tmpfs on /opt and
# /dev/shm, so the machine's own /opt/orv (its report information files, its
# registry) and its named objects are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

# ORV_DEMO_BUILD=DIR runs the demonstration on an existing build instead of
# installing packages and building with the release preset.
build=${ORV_DEMO_BUILD:-$repo/build/release}

enter_namespace() {
    export ORV_DEMO_BUILD=$(realpath "$build")
    if [ "$(id -u)" = 0 ]; then
        exec unshare --mount --propagation private bash "$0" --inside
    fi
    exec unshare --mount --propagation private --user --map-root-user bash "$0" --inside
}

if [ "${1:-}" != "--inside" ]; then
    if [ -z "${ORV_DEMO_BUILD:-}" ]; then
        ./scripts/deps.sh
        cmake --preset release
        cmake --build --preset release --target amirtupt tblsync amhost orvpp orvreg
    fi
    enter_namespace
fi

# ---- inside the private mount namespace -----------------------------------
bin=$build/bin
root=/opt/orv
# A clone under /opt keeps its build visible: only the agent root is hidden then.
case "$repo/" in
/opt/*) mkdir -p /opt/orv; mount -t tmpfs -o mode=0755 orv-demo /opt/orv ;;
*) mount -t tmpfs -o mode=0755 orv-demo /opt ;;
esac
mount -t tmpfs -o mode=1777 orv-demo-shm /dev/shm
unset ORV_ROOT ORV_TRACE_FILE ORV_TRACE_LEVELS

inf=$root/report/inf
tables=$root/report/tables
trace=$root/log/trace.log
pplink=$root/log/PPLink.log
mkdir -p "$inf" "$tables" "$root/log" "$root/PROGRAM"
export PATH="$bin:$PATH"

if [ -t 1 ]; then
    bold=$'\033[1m' under=$'\033[4m' green=$'\033[32m' red=$'\033[31m' plain=$'\033[0m'
else
    bold="" under="" green="" red="" plain=""
fi
heading() { printf '\n%s==== %s ====%s\n' "$bold" "$*" "$plain"; }
say() { printf '%s\n' "$*" | fold -s -w 78 | sed 's/^/  /'; }
show() { printf '\n  %s%s%s\n' "$under" "$*" "$plain"; }
indent() { sed 's/^/    /'; }

cycles_done() { grep -c 'sync registry over. release mutex' "$trace" 2>/dev/null || true; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Waits until the product link thread has finished a cycle after `mark`
# (a count of cycles_done taken before the change that wakes it).
wait_cycle_after() {
    local waited=0
    while [ "$(cycles_done)" -le "$1" ]; do
        kill -0 "$host" 2>/dev/null || { echo "demo: amhost ended early" >&2; exit 1; }
        sleep 0.05
        waited=$((waited + 1))
        [ "$waited" -lt 600 ] || { echo "demo: no cycle within 30 s" >&2; exit 1; }
    done
}

# Waits until the product link log says `line`; prints the milliseconds
# since `start` (from now_ms).
logged_after() {
    local waited=0
    until grep -qF "$1" "$pplink" 2>/dev/null; do
        sleep 0.01
        waited=$((waited + 1))
        [ "$waited" -lt 3000 ] || { echo "demo: \"$1\" not logged within 30 s" >&2; exit 1; }
    done
    echo $(($(now_ms) - $2))
}

# Waits until the product link thread has finished `n` more cycles.
wait_cycles() {
    local target=$(($(cycles_done) + $1)) waited=0
    while [ "$(cycles_done)" -lt "$target" ]; do
        kill -0 "$host" 2>/dev/null || { echo "demo: amhost ended early" >&2; exit 1; }
        sleep 0.2
        waited=$((waited + 1))
        [ "$waited" -lt 300 ] || { echo "demo: no cycle within 60 s" >&2; exit 1; }
    done
}

log_seen=0
trace_seen=0
# What the last step wrote: new product link log lines and the events the
# host saw in its role of alert manager and event log module.
what_happened() {
    show "New lines of $pplink"
    local size
    size=$(stat -c %s "$pplink" 2>/dev/null || echo 0)
    if [ "$size" -gt "$log_seen" ]; then
        tail -c +$((log_seen + 1)) "$pplink" | indent
    else
        echo "    (none: nothing changed)"
    fi
    log_seen=$size
    show "Events the alert manager and the event log module received (amhost trace lines)"
    size=$(stat -c %s "$trace" 2>/dev/null || echo 0)
    tail -c +$((trace_seen + 1)) "$trace" | grep ' amhost:' | grep 'fired' |
        sed -E 's/^[^ ]+ ([^ ]+) .* amhost:[^ ]+ /\1  /' | indent || echo "    (none)"
    trace_seen=$size
}

products() {
    show "Registered products (orvpp list, one line each)"
    orvpp list | awk -F': ' '
        BEGIN { printf "%-14s %-8s %-14s %s\n", "PRODUCT", "VERSION", "TYPE", "DISPLAY NAME" }
        /^ProductName: / { n = $2 } /^Type: / { t = $2 } /^Version: / { v = $2 }
        /^DisplayName: / { printf "%-14s %-8s %-14s %s\n", n, v, t, $2 }' | indent || true
}

report_table() {
    show "The alert manager's report table (orvreg table)"
    orvreg table | indent || true
}

check() {
    if eval "$2"; then
        printf '  %sok%s  %s\n' "$green" "$plain" "$1"
    else
        printf '  %sUNEXPECTED%s  %s\n' "$red" "$plain" "$1"
        failures=$((failures + 1))
    fi
}
failures=0
registered() { orvpp list 2>/dev/null | grep -qx "ProductName: $1"; }
has_entry() { orvreg table 2>/dev/null | grep -q "$1"; }

heading "What this is"
say "An alert manager reports the events of the products installed on a server. Each product describes itself in a report information file in $inf: its name, version and report tables (event source, event id, severity, text). The host service amhost runs the product link thread of libamirtupt, which scans that directory on a fixed cycle, registers, updates or removes the products in the agent's registry (SOFTWARE\\ORV\\ALERTREPORT) and has their report tables imported into the alert manager's report table."
say "This demonstration runs on a private, empty agent root ($root on a tmpfs visible only here). The host runs with --watch and a cycle of 900 seconds: a change of the directory wakes the thread at once, and the cycle is only the safety net."

heading "Before the host starts"
cp "$repo/demo/AMIREPRT.TBL" "$root/PROGRAM/AMIREPRT.TBL"
for f in "$repo"/demo/tables/* "$repo"/demo/extra/*.tbl; do
    [ -f "$f" ] && cp "$f" "$tables/"
done
for f in "$repo"/demo/inf/*; do
    [ -f "$f" ] && cp "$f" "$inf/"
done
say "Products already installed on the machine placed these report information files:"
ls -1 "$inf" | indent
say "and the alert manager's own report table is $root/PROGRAM/AMIREPRT.TBL."

heading "Start amhost"
amhost --cycle 900 --watch &
host=$!
say "amhost (pid $host) loaded the library and started the product link thread. Its first cycle compares the registry with the directory and imports every product's report tables."
wait_cycles 1
products
report_table
what_happened
for f in "$inf"/*; do
    name=$(sed -n 's/^[[:space:]]*ProductName[[:space:]]*=[[:space:]]*"\(.*\)".*/\1/p' "$f" | tail -n 1)
    [ -n "$name" ] && check "$name is registered" "registered '$name'"
done

heading "A product is installed: its file appears"
mark=$(cycles_done)
start=$(now_ms)
cp "$repo/demo/extra/backup-agent.inf" "$inf/backup-agent.inf"
say "Backup Agent 1.0 places backup-agent.inf (table backup-agent-1.0.tbl) while the host runs."
took=$(logged_after "BackupAgent: Inner registered. INSTALL over." "$start")
wait_cycle_after "$mark"
printf '\n  %sRegistered and its report table imported %s ms after the file appeared%s (the cycle is 900 s: the directory watch woke the thread).\n' "$bold" "$took" "$plain"
products
report_table
what_happened
show "Its product key (orvreg tree 'SOFTWARE\ORV\ALERTREPORT\BackupAgent')"
orvreg tree 'SOFTWARE\ORV\ALERTREPORT\BackupAgent' | indent || true
check "BackupAgent is registered" "registered BackupAgent"
check "its event 1001 is in the report table" "has_entry 'BackupAgent.*1001'"

heading "The product is upgraded: a higher version with a changed table"
mark=$(cycles_done)
start=$(now_ms)
cp "$repo/demo/extra/backup-agent-1.1.inf" "$inf/backup-agent.inf"
touch -d '+2 seconds' "$inf/backup-agent.inf"
say "Backup Agent 1.1 rewrites its file: version 1.1, event 1001 is now a warning, event 1002 is new and a second table adds a tape drive event."
took=$(logged_after "Update product: BackupAgent" "$start")
wait_cycle_after "$mark"
say "Updated $took ms after the file was rewritten."
products
report_table
what_happened
check "BackupAgent is at version 1.1" "orvpp list | grep -A2 -x 'ProductName: BackupAgent' | grep -qx 'Version: 1.1'"
check "event 1002 was imported" "has_entry 'BackupAgent.*1002'"
check "the tape drive table was imported" "has_entry 'BackupTape'"

heading "The product is uninstalled: its file vanishes"
mark=$(cycles_done)
start=$(now_ms)
rm "$inf/backup-agent.inf"
say "The cycle its removal wakes unregisters Backup Agent and removes its report table entries; the alert manager's own table is imported again."
took=$(logged_after "Remove product: BackupAgent" "$start")
wait_cycle_after "$mark"
say "Unregistered $took ms after the file vanished."
products
report_table
what_happened
check "BackupAgent is gone" "! registered BackupAgent"
check "its entries are gone" "! has_entry 'BackupAgent'"

heading "A product installed by hand with the setup tool (orvpp)"
say "Setup tools can install, update and remove a product directly; such a product is manual (type 1): the product link thread leaves it alone."
show "orvpp install demo/extra/ups-monitor.inf"
rc=0; orvpp install "$repo/demo/extra/ups-monitor.inf" | indent || rc=$?
echo "    (result code $rc)"
check "UpsMonitor is registered" "registered UpsMonitor"
what_happened
show "orvpp update demo/extra/ups-monitor-3.1.inf"
rc=0; orvpp update "$repo/demo/extra/ups-monitor-3.1.inf" | indent || rc=$?
echo "    (result code $rc)"
products
report_table
check "UpsMonitor event 3 was imported" "has_entry 'UpsMonitor.*3'"
show "orvpp remove UpsMonitor"
rc=0; orvpp remove UpsMonitor | indent || rc=$?
echo "    (result code $rc)"
products
what_happened
check "UpsMonitor is gone" "! registered UpsMonitor"

heading "Stop"
kill -TERM "$host"
rc=0
wait "$host" || rc=$?
say "SIGTERM signalled the thread's stop event; amhost exited with code $rc (0: a clean stop)."
check "amhost stopped cleanly" "[ $rc -eq 0 ]"

if [ "$failures" -ne 0 ]; then
    heading "$failures check(s) did not hold"
    exit 1
fi
heading "Done"
say "Full trace: $trace and the product link log $pplink lived on the private tmpfs and are gone now."
