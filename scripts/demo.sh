#!/usr/bin/env bash
# The main job, end to end: pack a sample folder into an archive (compressed,
# stored, in the directory stream and standalone), check it with -v, list it
# with --list, extract it into another folder, and compare the two folders
# byte for byte.
set -euo pipefail
bin=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work="$bin/demo"
rm -rf "$work"
mkdir -p "$work/sample" "$work/out"
cd "$work"

# Sample files: text, a larger repetitive file, binary bytes, an empty file.
cp "$here/../README.md" sample/readme.txt 2>/dev/null || echo "vorn demo" > sample/readme.txt
for i in $(seq 1 2000); do echo "line $i of a repetitive log file"; done > sample/log.txt
head -c 65536 /dev/urandom > sample/random.bin
: > sample/empty.txt
printf 'notes\r\n' > sample/notes.txt

cd sample
"$bin/vorn" ../demo.vrn readme.txt log.txt -g random.bin -c empty.txt +g notes.txt
cd ..
"$bin/vorn" demo.vrn -v
"$bin/vorn" --list demo.vrn
cd out
"$bin/vornex" ../demo.vrn '*'
cd ..
diff -r sample out
echo "demo: packed $(ls sample | wc -l) files into demo.vrn ($(stat -c %s demo.vrn) bytes), extracted them into out/, contents identical"
