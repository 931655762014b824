#!/usr/bin/env bash
# Kills runs with SIGKILL at random moments and checks what they leave.
# Usage: scripts/kill-test.sh [BUILD] [KILLS]   (default: build, 100 kills of
# each kind; KILLS may also come from the environment).
#
# Three kinds of run, each killed KILLS times at a moment drawn uniformly
# from 1.3 times the length of an uninterrupted run of the same kind:
#   rewrite     a large archive (about 40 MB, standalone and in-directory
#               entries) gets a large file added: afterwards the archive is
#               byte for byte the complete old one or the complete new one,
#               and `-v` reads it through;
#   extraction  a large entry is extracted: the target is absent or complete;
#   message     a large message file is changed: it is the complete old one
#               or the complete new one.
# After every kill the next run (uninterrupted, with all the temporaries of
# the killed runs still lying beside the archive) must succeed and give
# exactly the result of the reference run.  A killed run's temporary cannot be
# deleted by the run itself; such files are named vorn????????.tmp, no later
# run opens, lists, packs or reuses them, and a user removes them with
#   rm -f vorn????????.tmp
# in the folder of the archive (only while no run is working there).
# Prints, per kind: kills, how many left the old / the new result, and the
# temporaries left over.  Exits 1 at the first violation.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
kills=${2:-${KILLS:-100}}
vorn=$(cd "$build" && pwd)/vorn
vornex=$(cd "$build" && pwd)/vornex
[ -x "$vorn" ] || { echo "kill-test.sh: no $vorn (build first)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "kill-test.sh: $*" >&2; exit 1; }

# A random delay in seconds, uniform in [0, 1.3 × $1): a run may also be
# killed just after it finished.
delay() { awk -v max="$1" -v r="$RANDOM$RANDOM" 'BEGIN { srand(r); printf "%.4f", rand() * max * 1.3 }'; }

# Seconds an uninterrupted run of "$@" takes (at least 0.05).
measure() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" > /dev/null 2>&1 < /dev/null || fail "reference run failed: $*"
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { d = b - a; if (d < 0.05) d = 0.05; printf "%.4f", d }'
}

# Runs "$@" in the background, kills it after a random part of $1 seconds.
kill_run() {
  local span=$1
  shift
  "$@" > /dev/null 2>&1 < /dev/null &
  local pid=$!
  sleep "$(delay "$span")"
  kill -KILL "$pid" 2> /dev/null || true
  wait "$pid" 2> /dev/null || true
}

temporaries() { find . -maxdepth 1 -iname 'vorn????????.tmp' | wc -l; }

# ---- rewrite -----------------------------------------------------------------
mkdir rewrite && cd rewrite
head -c 12000000 /dev/urandom > s1.bin
head -c 5000000 /dev/urandom | od -An -tx1 > d1.txt
head -c 4000000 /dev/urandom | base64 > big.txt
"$vorn" arc.vrn -g s1.bin +g d1.txt || fail "cannot build the archive"
cp arc.vrn ../old.vrn
span=$(measure "$vorn" arc.vrn big.txt)
cp arc.vrn ../new.vrn
cmp -s ../old.vrn ../new.vrn && fail "the rewrite changed nothing"
old=0 new=0
for ((i = 1; i <= kills; i++)); do
  cp ../old.vrn arc.vrn
  kill_run "$span" "$vorn" arc.vrn big.txt
  if cmp -s arc.vrn ../old.vrn; then
    old=$((old + 1))
    "$vorn" arc.vrn -v || fail "kill $i: the old archive does not read through"
    "$vorn" arc.vrn big.txt || fail "kill $i: the next run failed"
    cmp -s arc.vrn ../new.vrn || fail "kill $i: the next run gave another archive"
  elif cmp -s arc.vrn ../new.vrn; then
    new=$((new + 1))
    "$vorn" arc.vrn -v || fail "kill $i: the new archive does not read through"
  else
    fail "kill $i: the archive is neither the old nor the new one"
  fi
done
echo "rewrite: $kills kills of a $(stat -c %s ../old.vrn)-byte archive (run ${span}s): $old left the old archive, $new the new one, $(temporaries) temporaries left over"
cd ..

# ---- extraction ----------------------------------------------------------------
mkdir extract && cd extract
cp ../new.vrn arc.vrn
span=$(measure "$vornex" arc.vrn big.txt)
cmp -s big.txt ../rewrite/big.txt || fail "the extraction gave another file"
rm big.txt
absent=0 complete=0
for ((i = 1; i <= kills; i++)); do
  kill_run "$span" "$vornex" arc.vrn big.txt
  if [ ! -e big.txt ]; then
    absent=$((absent + 1))
    "$vornex" arc.vrn big.txt || fail "kill $i: the next extraction failed"
  else
    complete=$((complete + 1))
  fi
  cmp -s big.txt ../rewrite/big.txt || fail "kill $i: the target is not complete"
  rm big.txt
done
echo "extraction: $kills kills of a ${span}s extraction: $absent left no target, $complete a complete one, $(temporaries) temporaries left over"
cd ..

# ---- message file ------------------------------------------------------------
mkdir msg && cd msg
{
  printf 'static char *msgs[] = {\r\n'
  for ((k = 0; k < 20000; k++)); do printf '"m%d\\0\\\r\n%0400d",\r\n' "$k" 0; done
  printf '\r\n(char*)0\r\n\r\n};\r\n'
} > old.c
printf '"set:m1\\0a new body",\r\n"set:new\\0another",\r\n' > mod.txt
cp old.c msgs.c
span=$(measure "$vorn" -mfile:msgs.c -mmod:mod.txt)
cp msgs.c new.c
cmp -s old.c new.c && fail "the message run changed nothing"
old=0 new=0
for ((i = 1; i <= kills; i++)); do
  cp old.c msgs.c
  kill_run "$span" "$vorn" -mfile:msgs.c -mmod:mod.txt
  if cmp -s msgs.c old.c; then
    old=$((old + 1))
    "$vorn" -mfile:msgs.c -mmod:mod.txt > /dev/null || fail "kill $i: the next message run failed"
    cmp -s msgs.c new.c || fail "kill $i: the next message run gave another file"
  elif cmp -s msgs.c new.c; then
    new=$((new + 1))
  else
    fail "kill $i: the message file is neither the old nor the new one"
  fi
done
echo "message file: $kills kills of a $(stat -c %s old.c)-byte message file (run ${span}s): $old left the old file, $new the new one, $(temporaries) temporaries left over"
