#!/bin/sh
# Installs the Debian packages the build, the tests and the demonstration
# need, and those named as arguments, when any of them is missing (as root on
# a fresh Debian 12 machine).
set -eu
packages="g++ cmake ninja-build pkg-config libsqlite3-dev googletest libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev util-linux clang-format $*"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "Installing:$missing"
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
