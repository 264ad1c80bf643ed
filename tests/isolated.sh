#!/bin/sh
# Runs a command in a private mount namespace with tmpfs on /opt and /dev/shm,
# so tests use the real /opt/orv/report/inf, /opt/orv/log, the registry under
# /opt/orv/var and named objects in /dev/shm without touching the machine's
# own agent, and can run beside each other.
set -e
if [ "${ORV_ISOLATED:-}" != "$$" ]; then
    if [ "$(id -u)" = 0 ]; then
        exec unshare --mount --propagation private sh -c 'ORV_ISOLATED=$$ exec "$0" "$@"' "$0" "$@"
    else
        exec unshare --mount --propagation private --user --map-root-user \
            sh -c 'ORV_ISOLATED=$$ exec "$0" "$@"' "$0" "$@"
    fi
fi
mount -t tmpfs -o mode=0755 orv-opt /opt
mount -t tmpfs -o mode=1777 orv-shm /dev/shm
mkdir -p /opt/orv/report/inf /opt/orv/log
unset ORV_ISOLATED ORV_ROOT ORV_TRACE_FILE
exec "$@"
