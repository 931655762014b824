#!/usr/bin/env bash
# Archives exchanged between the Linux build and the Windows build (under
# Wine): each build packs the same folder tree (with a stub, compressed,
# stored, standalone and keyed entries), each extracts the archive the other
# made, and every extracted file must equal its original byte for byte; the
# two builds' archives, their modifications by vornalt and the message-file
# tool's output must be identical too.
# usage: cross-archives.sh LINUX_VORN WINE_LOADER VORN_EXE WORK_DIR
set -euo pipefail
linux_vorn=$(cd "$(dirname "${1:?usage: cross-archives.sh LINUX_VORN WINE_LOADER VORN_EXE WORK_DIR}")" && pwd)/$(basename "$1")
loader=${2:?}
win_exe=$(cd "$(dirname "${3:?}")" && pwd)/$(basename "$3")
work=${4:?}
rm -rf "$work"
mkdir -p "$work/bin"
work=$(cd "$work" && pwd)
cp "$win_exe" "$work/bin/vorn.exe"
cp "$win_exe" "$work/bin/VORNEX32.EXE"
cp "$win_exe" "$work/bin/vornalt16.exe"

fail() { echo "cross-archives: $*" >&2; exit 1; }
# lin NAME ARGS...: the Linux build started as NAME; win NAME ARGS...: the
# Windows build started as bin/NAME.
lin() { local name=$1; shift; (exec -a "$name" "$linux_vorn" "$@"); }
win() { local name=$1; shift; "$loader" "$work/bin/$name" "$@"; }
# by BUILD NAME ARGS...: the same through either build.
by() { local b=$1; shift; if [ "$b" = lin ]; then lin "$@"; else win "$@"; fi; }

# The tree: text with LF and CR LF, binary, empty, a file kept under a key,
# and nested folders.
tree="$work/tree"
mkdir -p "$tree/docs/deep" "$tree/data"
for i in $(seq 1 400); do echo "line $i of a text that compresses well"; done > "$tree/notes.txt"
printf 'one\r\ntwo\r\n' > "$tree/docs/crlf.txt"
head -c 70000 /dev/urandom > "$tree/data/random.bin"
: > "$tree/docs/deep/empty.txt"
echo "deepest" > "$tree/docs/deep/leaf.txt"
echo "only with the key" > "$tree/secret.txt"
{ printf 'MZ'; head -c 62 /dev/zero; } > "$work/stub.bin"

pack() {  # pack BUILD ARCHIVE
  (cd "$tree" && by "$1" vorn.exe "$2" -stub:../stub.bin +p notes.txt -c docs/crlf.txt \
      +c +r 'docs/deep/*' -g data/random.bin +g +ssesame secret.txt) ||
    fail "$1 could not pack $2"
}
pack lin "$work/linux.vrn"
pack win "$work/windows.vrn"
cmp "$work/linux.vrn" "$work/windows.vrn" || fail "the two builds packed the same tree differently"
head -c 2 "$work/linux.vrn" | grep -q MZ || fail "the archive does not begin with its stub"

extract() {  # extract BUILD ARCHIVE OUT [KEY]
  mkdir -p "$3/docs/deep" "$3/data"
  (cd "$3" && by "$1" VORNEX32.EXE "$2" '*' 'docs/*' 'docs/deep/*' 'data/*' &&
     by "$1" VORNEX32.EXE "$2" -s"${4:-sesame}" secret.txt) || fail "$1 could not extract $2"
  diff -r "$tree" "$3" > /dev/null || { diff -r "$tree" "$3" | head; fail "$1 extracted $2 differently"; }
}
extract win "$work/linux.vrn" "$work/out-windows"
extract lin "$work/windows.vrn" "$work/out-linux"

# Without its key the keyed entry stays where it is.
mkdir -p "$work/nokey"
(cd "$work/nokey" && by win VORNEX32.EXE "$work/linux.vrn" secret.txt) || fail "keyless extraction failed"
[ ! -e "$work/nokey/secret.txt" ] || fail "a keyed entry was extracted without its key"

# The modifier: one build changes the other's archive, the same way.
cp "$work/linux.vrn" "$work/alt-by-windows.vrn"
cp "$work/windows.vrn" "$work/alt-by-linux.vrn"
for b in win lin; do
  a="$work/alt-by-windows.vrn"; [ $b = lin ] && a="$work/alt-by-linux.vrn"
  by $b vornalt16.exe "$a" +p -g notes.txt +g -c data/random.bin -ssesame +snew secret.txt ||
    fail "$b could not modify $a"
done
cmp "$work/alt-by-windows.vrn" "$work/alt-by-linux.vrn" || fail "the builds modified the archive differently"
extract lin "$work/alt-by-windows.vrn" "$work/out-alt-linux" new
extract win "$work/alt-by-linux.vrn" "$work/out-alt-windows" new

# The message-file tool: the same edit by both builds.
for b in lin win; do
  mkdir -p "$work/msg-$b"
  printf 'static char *msgs[] = {\r\n"hello\\0\\\r\nHello",\r\n"old\\0\\\r\ngone soon",\r\n\r\n(char*)0\r\n\r\n};\r\n' \
    > "$work/msg-$b/msgs.c"
  printf '"set:hello\\0Hi there",\r\n"del:old",\r\n"ren:hello,greeting",\r\n"set:path\\0C:\\\\dir\\\\",\r\n' \
    > "$work/msg-$b/mod.txt"
  (cd "$work/msg-$b" && by $b vorn.exe -mfile:msgs.c -mmod:mod.txt > out.txt) || fail "$b message-file tool failed"
  printf '"del:nothere",\r\n"bogus"\r\n' > "$work/msg-$b/bad.txt"
  (cd "$work/msg-$b" && by $b vorn.exe -mfile:msgs.c -mmod:bad.txt > bad-out.txt) && fail "$b accepted a bad script"
done
cmp "$work/msg-lin/msgs.c" "$work/msg-win/msgs.c" || fail "the message files differ"
cmp "$work/msg-lin/out.txt" "$work/msg-win/out.txt" || fail "the message-file tool printed differently"
cmp "$work/msg-lin/bad-out.txt" "$work/msg-win/bad-out.txt" || fail "the diagnostics differ"
[ -s "$work/msg-lin/bad-out.txt" ] || fail "a bad script printed no diagnostic"
exit 0
