#!/bin/sh
# libtblsync.so exports exactly the calls that tblsync.h declares.
# Usage: tblsync_exports.sh libtblsync.so tblsync.h
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
nm -D --defined-only "$1" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort -u > "$tmp/actual"
perl -0pe 's{/\*.*?\*/}{}gs; s{^[ \t]*#[^\n]*}{}mg' "$2" | tr '\n' ' ' | sed 's/;/;\n/g' |
    grep 'TBLSYNC_API' | sed -E 's/\(.*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*$/\1/' |
    sort -u > "$tmp/declared"
if ! diff -u "$tmp/declared" "$tmp/actual"; then
    echo "exports of $1 differ from the calls of $2"
    exit 1
fi
echo "exports match the header: $(wc -l < "$tmp/declared") names"
