#!/usr/bin/env bash
# Writes small sound archives of every shape into a folder, as the starting
# corpus of the loader's fuzzer: without them random bytes rarely get past the
# trailer and the zlib header.
set -euo pipefail
vorn=$(cd "$(dirname "${1:?usage: fuzz-seeds.sh VORN OUTDIR}")" && pwd)/$(basename "$1")
out=${2:?usage: fuzz-seeds.sh VORN OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'abc' > a.txt
printf 'hello hello hello hello\n' > b.txt
: > empty.txt
head -c 300 /dev/zero > zeros.bin
printf 'MZ' > stub.bin; head -c 62 /dev/zero >> stub.bin

"$vorn" in-dir.vrn a.txt b.txt empty.txt
"$vorn" standalone.vrn -g a.txt -c b.txt zeros.bin
"$vorn" mixed.vrn -g a.txt +g b.txt -c empty.txt +p +shush zeros.bin
"$vorn" stub.vrn -stub:stub.bin a.txt -g b.txt
"$vorn" attrs.vrn +e +1 +3 -l a.txt +4 b.txt
"$vorn" empty.vrn a.txt
"$vorn" empty.vrn -d a.txt
for f in *.vrn; do cp "$f" "$out/seed-$f"; done
