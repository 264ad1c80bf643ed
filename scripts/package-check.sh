#!/bin/sh
# The Debian package's life on a fresh Debian 12 machine: builds it, installs
# it with apt (which pulls its dependencies from the archive, so this needs a
# network), registers a product with the installed amhost, uses orvpp, orvreg
# and man from PATH, then removes and purges it and lists every file of the
# package, and of the agent, that is left. Not part of the test command.
#
# Run it as root from the top of a clone on a machine you can spare, or in a
# scratch root:  ../shared/tools/fresh-debian ROOT run ./scripts/package-check.sh
set -eu
cd "$(dirname "$0")/.."
# amhost's named events and mutexes go to a /dev/shm of this run's own, so
# that a scratch root sharing the machine's /dev leaves nothing in it.
if [ -z "${ORV_PACKAGE_CHECK_INSIDE:-}" ]; then
    exec unshare --mount --propagation private env ORV_PACKAGE_CHECK_INSIDE=1 "$0"
fi
mount -t tmpfs -o mode=1777 package-check-shm /dev/shm
step() { printf '\n== %s\n' "$*"; }
export DEBIAN_FRONTEND=noninteractive

step "build the package"
apt-get update -qq
if ! ./scripts/package.sh >/tmp/package.log 2>&1; then
    tail -40 /tmp/package.log
    exit 1
fi
sed -n '/^--- lintian/,$p' /tmp/package.log
deb=$(ls build/package/amirtupt_*.deb)

step "apt-get install ./$deb"
apt-get install -y --no-install-recommends "./$deb" 2>&1 | grep -E -A3 '^The following NEW' || true
dpkg -L amirtupt >/tmp/amirtupt.files
stat -c '%A %U:%G %n' /opt/orv /opt/orv/report/inf /opt/orv/log /opt/orv/var

step "a product file dropped in, one cycle of the installed amhost"
mkdir -p /opt/orv/report/tables
cp demo/tables/alpha_disk.tbl demo/tables/alpha_raid.tbl /opt/orv/report/tables/
cp demo/inf/alpha.inf /tmp/alpha.inf
mv /tmp/alpha.inf /opt/orv/report/inf/alpha.inf
command -v amhost orvpp orvreg
amhost --version
amhost --cycle 1 --cycles 1
orvpp list
orvreg query 'SOFTWARE\ORV\ALERTREPORT\AlphaMonitor'
orvreg table --source AlphaDisk | head -3
orvpp list | grep -q AlphaMonitor || { echo "FAIL: the product was not registered" >&2; exit 1; }

step "man orvpp"
command -v man >/dev/null || apt-get install -y -qq --no-install-recommends man-db >/dev/null
man -P cat orvpp 2>&1 | head -8

step "systemd-analyze verify and security of the installed unit"
command -v systemd-analyze >/dev/null || apt-get install -y -qq --no-install-recommends systemd >/dev/null
systemd-analyze verify amhost.service && echo "verify: no complaint"
systemd-analyze security --offline=true /lib/systemd/system/amhost.service 2>&1 | tail -1

step "apt-get remove: the agent's data stays"
apt-get remove -y amirtupt 2>&1 | grep -E '^Removing' || true
find /opt/orv -mindepth 1 | sort

step "the product uninstalls itself, then apt-get purge: what is left"
rm -r /opt/orv/report/inf/alpha.inf /opt/orv/report/tables
apt-get purge -y amirtupt 2>&1 | grep -E '^Purging' || true
left=0
while read -r path; do
    # Directories every system has (/usr/bin, /usr/share/man/man8, ...) stay.
    [ -L "$path" ] && continue
    [ -d "$path" ] && [ "$(find "$path" -mindepth 1 -print -quit)" != "" ] && continue
    case "$path" in /. | /usr | /usr/*/) continue ;; esac
    if [ -e "$path" ]; then
        echo "left: $path"
        left=1
    fi
done </tmp/amirtupt.files
if [ -d /opt/orv ]; then
    echo "left under /opt/orv:"
    find /opt/orv | sort
fi
[ "$left" = 0 ] && echo "no file of the package is left"
