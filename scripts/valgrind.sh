#!/usr/bin/env bash
# Runs the end-to-end tests (every test that starts the built executable)
# with each started vorn, vornex and vornalt under valgrind's memcheck: any
# invalid access, use of undefined memory or leak fails the run.  The test
# programs themselves run as usual.  Usage: scripts/valgrind.sh [BUILD] [GTEST_FILTER]
# (default: build, all tests).  Needs valgrind; prints the number of checked
# runs and the error summary.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
filter=${2:-*}
command -v valgrind > /dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 2; }
cmake --build "$build" -j2 > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/links" "$work/logs"
export VORN_TEST_WRAP_DIR="$work/links"
export VORN_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect --log-file=$work/logs/vg.%p.log"
status=0
# One test program per folder of tests/ (tests/support is their shared
# code); named from the folders, so that a program an older layout left in
# the build folder is not run.
for d in tests/*/; do
  m=$(basename "$d")
  [ "$m" = support ] && continue
  t="$build/test_$m"
  [ -x "$t" ] || { echo "valgrind.sh: $t is missing" >&2; status=1; continue; }
  "$t" --gtest_filter="$filter" --gtest_brief=1 > "$work/$(basename "$t").out" 2>&1 || {
    status=1
    echo "== $(basename "$t") failed:"
    grep -E '^\[  FAILED|Failure|Which is' "$work/$(basename "$t").out" | head -40
  }
done
runs=$(ls "$work/logs" | wc -l)
bad=$(grep -l -E 'ERROR SUMMARY: [1-9]|Invalid|uninitialised|definitely lost|indirectly lost' "$work/logs"/* 2>/dev/null || true)
echo "valgrind.sh: $runs runs of the executable checked under memcheck"
if [ -n "$bad" ]; then
  status=1
  for f in $bad; do echo "== $f"; head -60 "$f"; done
else
  echo "valgrind.sh: no memcheck errors"
fi
exit $status
