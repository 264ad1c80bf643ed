#!/bin/sh
# Installs the build into a scratch DESTDIR and builds a C program outside the
# tree against that copy twice, once through pkg-config and once through
# find_package; each build must run from where it was linked, with no
# LD_LIBRARY_PATH, on the installed library.
# Arguments: build dir, prefix, consumer source dir, and the compiler flags a
# program needs beside a sanitised build of the library (may be empty).
set -eu
build=$1 prefix=$2 source=$3 extra=${4:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH

DESTDIR=$stage cmake --install "$build" >/dev/null
root=$stage$prefix
pcdir=$(dirname "$(find "$root" -name amirtupt.pc)")
[ -n "$pcdir" ] || fail "no amirtupt.pc installed"

cat >"$stage/product.inf" <<'INF'
ProductName="Consumer"
Version="4.2"
INF

check() {  # a built program, how it was built
    out=$("$1" "$stage/product.inf") || fail "$2: the program failed: $out"
    [ "$out" = "Consumer 4.2" ] || fail "$2: printed '$out'"
    lib=$(ldd "$1" | awk '/libamirtupt/ { print $3 }')
    case "$(realpath "$lib")" in
        "$root/"*) ;;
        *) fail "$2: uses '$lib', not the installed library" ;;
    esac
}

# The .pc file names the installed prefix; the staged copy stands in for it.
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --define-variable=prefix="$root" \
    --cflags --libs amirtupt) || fail "pkg-config does not know amirtupt"
cc $extra -o "$stage/by-pkg-config" "$source/main.c" $flags || fail "pkg-config build"
check "$stage/by-pkg-config" pkg-config

cmake -S "$source" -B "$stage/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root" \
    -DCMAKE_C_FLAGS="$extra" >/dev/null \
    || fail "find_package(amirtupt) failed"
cmake --build "$stage/consumer" >/dev/null || fail "find_package build"
check "$stage/consumer/consumer" find_package
echo "consumers ok"
