#!/bin/sh
# The library exports exactly the names its header declares: its defined
# dynamic symbols equal the modules' export lists, nothing mangled leaks, and
# every AMIRTUPT_API declaration of the public header is in those lists.
# Usage: check_exports.sh libamirtupt.so exported_symbols.txt amirtupt.h
set -eu
library=$1
expected=$2
header=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$library" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort -u > "$tmp/actual"
grep -E '^[A-Za-z_][A-Za-z0-9_]*$' "$expected" | sort -u > "$tmp/expected"
# Declarations may span lines: drop comments and preprocessor lines, join
# the rest, then take the identifier in
# front of the first "(" (functions) or ";" (variables) of each declaration.
perl -0pe 's{/\*.*?\*/}{}gs; s{//[^\n]*}{}g; s{^[ \t]*#[^\n]*}{}mg' "$header" | tr '\n' ' ' |
    sed 's/;/;\n/g' | grep 'AMIRTUPT_API' |
    sed -E 's/.*AMIRTUPT_API//; s/\(.*//; s/;.*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*$/\1/' |
    grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | sort -u > "$tmp/declared"

status=0
if grep -q '^_Z' "$tmp/actual"; then
    echo "mangled symbols exported:"; grep '^_Z' "$tmp/actual"; status=1
fi
missing=$(comm -13 "$tmp/actual" "$tmp/expected")
unexpected=$(comm -23 "$tmp/actual" "$tmp/expected")
undeclared=$(comm -3 "$tmp/declared" "$tmp/expected")
if [ -n "$missing" ]; then echo "exported names missing from the library:"; echo "$missing"; status=1; fi
if [ -n "$unexpected" ]; then echo "symbols exported by mistake:"; echo "$unexpected"; status=1; fi
if [ -n "$undeclared" ]; then echo "header and export lists disagree on:"; echo "$undeclared"; status=1; fi
[ $status -eq 0 ] && echo "exports match the header: $(wc -l < "$tmp/expected") names"
exit $status
