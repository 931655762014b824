#!/usr/bin/env bash
# The Windows executables under Wine:
#   1. the platform layer's common tests built for Windows, and the whole test
#      suite with every run of the program going to vorn.exe (64-bit under
#      wine64; 32-bit under 32-bit Wine where that is installed);
#   2. the exit code of a failed run as Windows reports it (-3);
#   3. archives exchanged between the builds (scripts/cross-archives.sh): made
#      by the Linux build and extracted by the Windows one, and the other way
#      round, byte for byte.
# usage: wine-tests.sh LINUX_BUILD WIN32_BUILD WIN64_BUILD
# Installs Wine with apt-get when run as root and it is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux=$(cd "${1:?usage: wine-tests.sh LINUX_BUILD WIN32_BUILD WIN64_BUILD}" && pwd)
win32=$(cd "${2:?}" && pwd)
win64=$(cd "${3:?}" && pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

"$here/ensure-deps.sh" --wine

# A prefix of the run's own, quiet, one server kept up for all the runs.
export WINEPREFIX="$linux/wineprefix"
# Quiet, but for the loader's complaint that the test runs recognise (below).
export WINEDEBUG=-all,err+virtual
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer questions
wine_for() { if [ "$1" = 64 ]; then echo /usr/lib/wine/wine64; else echo /usr/lib/wine/wine; fi; }
start=$(date +%s)
if [ ! -d "$WINEPREFIX" ]; then
  WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
fi
# One server kept up for every run, started here, away from the test runs'
# output: a server that a test's wine started would hold that test's output
# open (and ctest waiting) for ever.  It must be a new one: the server that
# made the prefix (or one left from an earlier run) is not kept up, and
# "-p" does not reach a server already running.  A server that is not kept
# up begins shutting down whenever no program runs for a moment, and a
# program starting just then is killed with it ("wine client error ...
# Connection reset by peer"), which fails whatever test started it.
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
if ! wineserver -p </dev/null >/dev/null 2>&1; then
  echo "wine-tests: could not start a Wine server that stays up"; exit 1
fi
# Wine's own services start with the first program; they, too, are started
# away from the tests' output.
WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "wine-tests: prefix ready after $(( $(date +%s) - start )) s"

status=0
bits_run=()
for bits in 64 32; do
  loader=$(wine_for $bits)
  exe="$win64/vorn.exe"; [ $bits = 32 ] && exe="$win32/vorn.exe"
  if [ ! -x "$loader" ]; then
    echo "wine-tests: no $bits-bit Wine here ($loader missing); $exe not run"
    continue
  fi
  bits_run+=($bits)
  export WINELOADER=$loader

  # Exit code -3 as Windows itself reports it.
  mkdir -p "$linux/wine-exit" && cd "$linux/wine-exit"
  cp "$exe" VORNEX32.EXE
  code=$( { "$loader" cmd /c 'VORNEX32.EXE missing.vrn & echo %ERRORLEVEL%' || true; } | tr -d '\r' | tail -n 1)
  if [ "$code" != "-3" ]; then
    echo "wine-tests: $bits-bit: a failed run reported '$code' to cmd, not -3"; status=1
  else
    echo "wine-tests: $bits-bit: a failed run reports -3 to cmd"
  fi
  cd "$linux"

  # The platform layer's common tests, built for Windows.
  wbuild=$(dirname "$exe")
  if cmake -S "$here/.." -B "$wbuild" > "$linux/wine-platform-$bits.log" 2>&1 &&
     cmake --build "$wbuild" -j"$JOBS" --target test_platform_common >> "$linux/wine-platform-$bits.log" 2>&1 &&
     (cd "$linux" && "$loader" "$wbuild/test_platform_common.exe" >> "$linux/wine-platform-$bits.log" 2>&1); then
    echo "wine-tests: $bits-bit: platform layer: $(tr -d '\r' < "$linux/wine-platform-$bits.log" | grep -E '^\[  PASSED  \]')"
  else
    echo "wine-tests: $bits-bit: platform layer tests FAILED; see $linux/wine-platform-$bits.log"; status=1
  fi

  # The test runs start Wine with the address space laid out without
  # randomisation: with it, now and then a mapping lands where Wine must put
  # its shared user data, and the program never starts ("failed to map the
  # shared user data", exit 1).  The test support starts such a run again.
  launch="$loader"
  if command -v setarch >/dev/null 2>&1; then
    launch="$linux/wine-launch-$bits"
    printf '#!/bin/sh\nexec setarch "$(uname -m)" -R %s "$@"\n' "$loader" > "$launch"
    chmod +x "$launch"
  fi

  t0=$(date +%s)
  if VORN_TEST_EXE="$exe" VORN_TEST_LAUNCHER="$launch" \
      ctest --test-dir "$linux" -j"$JOBS" --output-on-failure > "$linux/wine-ctest-$bits.log" 2>&1; then
    echo "wine-tests: $bits-bit: $(grep -E 'tests passed' "$linux/wine-ctest-$bits.log") ($(( $(date +%s) - t0 )) s)"
  else
    echo "wine-tests: $bits-bit: suite FAILED ($(( $(date +%s) - t0 )) s); see $linux/wine-ctest-$bits.log"
    grep -E '^[[:space:]]+[0-9]+ - |tests passed' "$linux/wine-ctest-$bits.log" || true
    status=1
  fi

  if "$here/cross-archives.sh" "$linux/vorn" "$loader" "$exe" "$linux/cross-$bits"; then
    echo "wine-tests: $bits-bit: archives exchanged with the Linux build, byte for byte"
  else
    echo "wine-tests: $bits-bit: archive exchange FAILED"; status=1
  fi
done
wineserver -k 2>/dev/null || true
[ ${#bits_run[@]} -gt 0 ] || { echo "wine-tests: no Wine could run"; exit 1; }
echo "wine-tests: $( [ $status = 0 ] && echo passed || echo FAILED ) for ${bits_run[*]}-bit in $(( $(date +%s) - start )) s"
exit $status
