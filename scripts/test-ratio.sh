#!/usr/bin/env bash
# Prints the size of the test suite against the code it tests, in non-blank lines: the C++,
# Python, JSON, CMake and text files of tests/ but the fuzz corpora and saved crash inputs,
# against the C++ of common/, qar/ and size/.
# The suite is kept at most at `limit` percent of the code.
set -euo pipefail

cd "$(dirname "$0")/.."
limit=40

code=$(find common qar size -name '*.cpp' -o -name '*.hpp' | xargs cat | grep -cv '^\s*$')
tests=$(find tests -type f ! -path 'tests/fuzz/corpus/*' ! -path 'tests/fuzz/regressions/*' |
  grep -E '\.(cpp|hpp|h|cc|py|json|txt|cmake)$' | xargs cat | grep -cv '^\s*$')

# 12345 -> 12,345
thousands() { echo "$1" | sed -E ':a; s/([0-9])([0-9]{3})($|,)/\1,\2\3/; ta'; }

percent=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.1f", 100 * t / c }')
echo "tests/code: $(thousands "$tests") / $(thousands "$code") non-blank lines = $percent% (limit $limit%)"
