#!/bin/sh
# Checks that every tracked C and C++ file is formatted as .clang-format
# says; lists the files that are not and fails.
set -eu
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
    echo "check-format: clang-format is not installed (scripts/deps.sh installs it)" >&2
    exit 1
fi
report=$(git ls-files -z '*.c' '*.h' '*.cpp' | xargs -0 clang-format --dry-run -Werror 2>&1) && exit 0
echo "check-format: these files are not formatted as .clang-format says:" >&2
files=$(printf '%s\n' "$report" | sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: .*/  \1/p' | sort -u)
printf '%s\n' "${files:-$report}" >&2
echo "check-format: run clang-format -i on them (clang-format $(clang-format --version | sed 's/.*version \([0-9.]*\).*/\1/'))" >&2
exit 1
