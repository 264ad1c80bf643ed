#!/bin/sh
# A shared library exports exactly the names its header declares: every
# declared name is defined, nothing else is visible, nothing mangled leaks.
# Usage: check_exports.sh <library.so> <file of declared names, one a line>
set -eu
library=$1
declared=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$library" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' | sort -u > "$tmp/actual"
grep -E '^[A-Za-z_][A-Za-z0-9_]*$' "$declared" | sort -u > "$tmp/declared"

status=0
missing=$(comm -13 "$tmp/actual" "$tmp/declared")
unexpected=$(comm -23 "$tmp/actual" "$tmp/declared")
if [ -n "$missing" ]; then echo "declared but not defined in $library:"; echo "$missing"; status=1; fi
if [ -n "$unexpected" ]; then echo "exported by $library but not declared:"; echo "$unexpected"; status=1; fi
[ $status -eq 0 ] && echo "$(basename "$library") exports exactly its $(wc -l < "$tmp/declared") declared names"
exit $status
