#!/bin/sh
# Installs the build into a scratch DESTDIR and checks what an operator gets:
# the libraries in their own directory and nowhere else, the unit pointing at
# the installed amhost, and installed programs that find their libraries (and
# amhost the library it loads by name) from where they were installed.
# Arguments: build dir, prefix, private library dir, bindir, sbindir (the
# last three relative to the prefix).
set -eu
build=$1 prefix=$2 libdir=$3 bindir=$4 sbindir=$5
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage cmake --install "$build" >/dev/null
root=$stage$prefix

for lib in amirtupt w32compat qortrace qorutil amacre tblsync; do
    [ -f "$root/$libdir/lib$lib.so" ] || fail "lib$lib.so not in $prefix/$libdir"
done
stray=$(find "$stage" -name 'lib*.so*' ! -path "$root/$libdir/*")
[ -z "$stray" ] || fail "libraries outside $prefix/$libdir: $stray"

unit=$root/lib/systemd/system/amhost.service
[ -f "$unit" ] || fail "no unit in $prefix/lib/systemd/system"
grep -qx "ExecStart=$prefix/$sbindir/amhost --watch" "$unit" || fail "unit: $(grep ExecStart "$unit")"

for tool in "$bindir/orvpp" "$bindir/orvreg" "$sbindir/amhost"; do
    out=$("$root/$tool" --version) || fail "$tool --version failed"
    case "$out" in
        "$(basename "$tool") "[0-9]*) ;;
        *) fail "$tool --version printed: $out" ;;
    esac
done

# The installed programs use the installed libraries, not the build tree's.
for tool in "$bindir/orvpp" "$bindir/orvreg" "$sbindir/amhost"; do
    for lib in $(ldd "$root/$tool" | awk '/libw32compat|libqortrace|libamirtupt/ { print $3 }'); do
        lib=$(realpath "$lib")
        case "$lib" in
            "$root/$libdir/"*) ;;
            *) fail "$tool uses $lib" ;;
        esac
    done
done
unset LD_LIBRARY_PATH
export ORV_ROOT=$stage/agent
"$root/$sbindir/amhost" --root "$stage/agent" --cycle 0.05 --cycles 1 >/dev/null 2>&1 \
    || fail "installed amhost did not run one cycle"
[ -f "$stage/agent/var/registry.db" ] || fail "installed amhost wrote no registry"
echo "install layout ok"
