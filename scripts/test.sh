#!/bin/sh
# Builds the project with the dev preset (Debug, ASan + UBSan) and runs the
# whole test suite. On a fresh Debian 12 machine it first installs the Debian
# packages it needs (run it as root there).
set -eu
cd "$(dirname "$0")/.."

packages="g++ cmake ninja-build pkg-config libsqlite3-dev googletest libgtest-dev libbenchmark-dev libcli11-dev util-linux"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

cmake --preset dev
cmake --build --preset dev
ctest --preset dev
