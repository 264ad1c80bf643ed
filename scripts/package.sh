#!/bin/sh
# Builds the Debian package with Debian's own tools (dpkg-buildpackage, dh)
# from a scratch copy of this tree, leaves amirtupt_<version>_<arch>.deb and
# its .buildinfo and .changes in build/package/, and runs lintian over it.
# Installs the build dependencies first when they are missing (as root).
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh build-essential debhelper dpkg-dev fakeroot lintian

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/amirtupt"
tar --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$work/amirtupt" -xf -
(cd "$work/amirtupt" && dpkg-buildpackage -us -uc -b)

mkdir -p build/package
rm -f build/package/amirtupt[_-]*
mv "$work"/amirtupt[_-]* build/package/
echo "--- lintian"
lintian --info build/package/amirtupt_*.changes || {
    echo "lintian found errors" >&2
    exit 1
}
ls -l build/package/amirtupt_*.deb
