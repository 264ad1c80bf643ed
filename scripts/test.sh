#!/bin/sh
# Checks the formatting of the tracked C and C++ files, then builds the
# project with the dev preset (Debug, ASan + UBSan) and runs the whole test
# suite. On a fresh Debian 12 machine it first installs the Debian packages it
# needs (run it as root there).
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh
./scripts/check-format.sh
cmake --preset dev
cmake --build --preset dev
ctest --preset dev
