#!/usr/bin/env bash
# compare.sh -- vorn against its peers on the shared benchmark corpus, in one run.
#
# Usage: bench/compare.sh [BUILD_DIR = build]
# Environment: RUNS (timed runs per figure, default 3), THREADS (the peers'
# thread count and vorn's, default: the machine's cores), CORPORA (default
# "src bin big"), SKIP (peers left out, any of "7z zip gzip"), CORPUS (where the
# corpus is built, default BUILD_DIR/corpus; kept between runs), WORK (scratch,
# default BUILD_DIR/bench-work), VORN_BEFORE (an earlier build's vorn
# executable: its packing and extraction are timed beside this build's, in
# the same run).
#
# The corpus is built by make-corpus.sh of the shared folder (the machine's
# copy, or ../shared/bench from the project root in a CI checkout): many small
# C headers (src), a few large shared libraries (bin), one 100 MB mixed file
# (big).  Missing peer tools (zip, unzip, pigz, 7z) are installed with apt-get
# when running as root.
#
# For every corpus it prints, per tool: the median wall time of RUNS runs,
# input MB/s (10^6 bytes), the median CPU time (user + system: on a busy
# machine the fairer view of the work done), the output size, its ratio to
# single-stream zlib level 9, and the largest peak RSS of the runs; then vorn's speed ratios to
# each peer (their time / vorn's time).  Figures:
#   pack     vorn (default: in the directory stream), vorn -g (standalone
#            entries), zip -9, tar | gzip -9, tar | pigz -9 -p THREADS,
#            7z a -tzip -mx=9, and the baseline: tar | zlib level 9, one stream
#   extract  vornex, unzip, gzip -dc | tar -x, each into a fresh folder
#   update   add one small file / delete one entry: vorn and zip -9 on copies
#            of their archives, beside a full recompression of the same
#            content on one thread (what every rewrite cost before blocks
#            were reused) and with THREADS threads
# The load average is printed at the start and the end: the figures are only
# as good as the machine was quiet.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
threads=${THREADS:-$(nproc)}
corpora=${CORPORA:-src bin big}
corpus=${CORPUS:-$build/corpus}
work=${WORK:-$build/bench-work}
vorn=$build/vorn
zlib9=$build/bench_zlib9

for f in "$vorn" "$zlib9" ${VORN_BEFORE:+"$VORN_BEFORE"}; do
  [ -x "$f" ] || { echo "missing $f: build first (make build)" >&2; exit 1; }
done

# ---- peers ------------------------------------------------------------------
need=()
command -v zip >/dev/null || need+=(zip)
command -v unzip >/dev/null || need+=(unzip)
command -v pigz >/dev/null || need+=(pigz)
command -v 7z >/dev/null || need+=(p7zip-full)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get install -y "${need[@]}" >/dev/null 2>&1 ||
      { apt-get update >/dev/null 2>&1 && apt-get install -y "${need[@]}" >/dev/null; }
  else
    echo "missing peer tools; install: ${need[*]}" >&2
    exit 1
  fi
fi

# ---- corpus -----------------------------------------------------------------
make_corpus=/work/shared/bench/make-corpus.sh
[ -x "$make_corpus" ] || make_corpus=$root/../shared/bench/make-corpus.sh
if [ ! -f "$corpus/SUMMARY" ]; then
  echo "building the corpus in $corpus ..."
  "$make_corpus" "$corpus" >/dev/null
fi

rm -rf "$work"
mkdir -p "$work/x" "$work/small"
if [ -n "${VORN_BEFORE:-}" ]; then  # the program takes its personality from its name
  mkdir -p "$work/before"
  ln -s "$(cd "$(dirname "$VORN_BEFORE")" && pwd)/$(basename "$VORN_BEFORE")" "$work/before/vornex"
  ln -s "$(cd "$(dirname "$VORN_BEFORE")" && pwd)/$(basename "$VORN_BEFORE")" "$work/before/vorn"
fi
printf 'one small file added to a large archive\n' > "$work/small/small.txt"

# ---- measuring --------------------------------------------------------------
# measure LABEL INPUT_BYTES OUTPUT_FILE SETUP COMMAND
# Runs SETUP (untimed) then COMMAND (timed, under bash) RUNS times; records
# the median wall time and the largest peak RSS; OUTPUT_FILE's size is the
# output size ("-" for none; a file holding "IN OUT" from bench_zlib9 gives OUT).
declare -A T S R
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
measure() {
  local label=$1 bytes=$2 out=$3 setup=$4 cmd=$5 i times="" cpus="" rss=0
  for ((i = 1; i <= runs; i++)); do
    RUN=$i bash -c "$setup"
    RUN=$i /usr/bin/time -f "%e %M %U %S" -o "$work/time.txt" bash -c "$cmd" >/dev/null 2>"$work/err.txt" ||
      { echo "FAILED: $label: $cmd" >&2; cat "$work/err.txt" >&2; exit 1; }
    read -r t m u k < <(tail -n 1 "$work/time.txt")
    times+="$t"$'\n'
    cpus+=$(awk -v u="$u" -v k="$k" 'BEGIN {print u + k}')$'\n'
    [ "$m" -gt "$rss" ] && rss=$m
  done
  local med cpu size=0
  med=$(printf '%s' "$times" | median)
  cpu=$(printf '%s' "$cpus" | median)
  if [ "$out" != "-" ]; then
    if [[ "$out" == *.zlib9 ]]; then size=$(awk '{print $2}' "$out"); else size=$(stat -c %s "$out"); fi
  fi
  T[$label]=$med
  S[$label]=$size
  R[$label]=$rss
  local base=${S[zlib9]:-0}
  awk -v l="$label" -v t="$med" -v c="$cpu" -v b="$bytes" -v s="$size" -v z="$base" -v r="$rss" 'BEGIN {
    mbs = (t > 0) ? b / t / 1e6 : 0
    ratio = (z > 0 && s > 0) ? sprintf("%.4f", s / z) : "-"
    printf "  %-30s %8.2f s %8.1f MB/s %8.2f s %11s B %8s %8d KiB\n", l, t, mbs, c, (s > 0 ? s : "-"), ratio, r }'
}
skipped() { [[ " ${SKIP:-} " == *" $1 "* ]]; }
ratio_line() {  # ratio_line TITLE VORN_LABEL PEER_LABEL... (peers not measured are left out)
  local title=$1 v=$2 line="" p
  shift 2
  for p in "$@"; do
    [ -n "${T[$p]:-}" ] || continue
    line+=$(awk -v a="${T[$p]}" -v b="${T[$v]}" -v p="$p" 'BEGIN { printf "  %s %.2fx", p, (b > 0 ? a / b : 0) }')
  done
  echo "  $title:$line"
}

echo "vorn benchmark: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, THREADS=$threads, RUNS=$runs"
echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$corpus/SUMMARY"
printf '  %-30s %10s %13s %10s %13s %8s %12s\n' "" "median" "input rate" "cpu" "size" "/zlib-9" "peak RSS"

for c in $corpora; do
  bytes=$(find "$corpus/$c" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
  files=$(find "$corpus/$c" -type f | wc -l)
  echo
  echo "== $c: $files files, $bytes bytes =="
  W=$work/$c
  mkdir -p "$W"
  C=$corpus
  # Stored names compare without letter case, so vorn refuses to store two
  # files whose paths differ only in case: every tool gets the corpus without
  # the later of such files (hard links, nothing copied).
  dups=$(cd "$C/$c" && find . -type f | sort | awk '{l = tolower($0); if (seen[l]++) print}')
  if [ -n "$dups" ]; then
    C=$work/corpus
    mkdir -p "$C"
    cp -al "$corpus/$c" "$C/$c"
    (cd "$C/$c" && printf '%s\n' "$dups" | while IFS= read -r f; do rm -f "$f"; done)
    bytes=$(find "$C/$c" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
    echo "  ($(printf '%s\n' "$dups" | wc -l) files whose paths differ from another's only in letter case" \
         "left out for every tool: $(find "$C/$c" -type f | wc -l) files, $bytes bytes)"
  fi
  echo " pack"
  measure zlib9 "$bytes" "$W/out.zlib9" "" "tar -cf - -C '$C' $c | '$zlib9' > '$W/out.zlib9'"
  measure "vorn" "$bytes" "$W/a.vrn" "rm -f '$W/a.vrn'" \
    "cd '$C/$c' && '$vorn' '$W/a.vrn' --threads $threads +r +p '*'"
  measure "vorn -g" "$bytes" "$W/g.vrn" "rm -f '$W/g.vrn'" \
    "cd '$C/$c' && '$vorn' '$W/g.vrn' --threads $threads -g +r +p '*'"
  if [ -n "${VORN_BEFORE:-}" ]; then
    measure "vorn (earlier build)" "$bytes" "$W/b.vrn" "rm -f '$W/b.vrn'" \
      "cd '$C/$c' && '$work/before/vorn' '$W/b.vrn' --threads $threads +r +p '*'"
    measure "vorn -g (earlier build)" "$bytes" "$W/bg.vrn" "rm -f '$W/bg.vrn'" \
      "cd '$C/$c' && '$work/before/vorn' '$W/bg.vrn' --threads $threads -g +r +p '*'"
  fi
  # zip and gzip archives are made even when their timing is skipped: the
  # extract and update figures need them.
  if skipped zip; then (cd "$C" && zip -9 -r -q "$W/a.zip" $c); else
    measure "zip -9" "$bytes" "$W/a.zip" "rm -f '$W/a.zip'" "cd '$C' && zip -9 -r -q '$W/a.zip' $c"; fi
  if skipped gzip; then tar -cf - -C "$C" $c | pigz -9 -p "$threads" > "$W/a.tgz"; else
    measure "tar|gzip -9" "$bytes" "$W/a.tgz" "" "tar -cf - -C '$C' $c | gzip -9 > '$W/a.tgz'"; fi
  measure "tar|pigz -9 -p $threads" "$bytes" "$W/p.tgz" "" \
    "tar -cf - -C '$C' $c | pigz -9 -p $threads > '$W/p.tgz'"
  skipped 7z || measure "7z -tzip -mx=9" "$bytes" "$W/7.zip" "rm -f '$W/7.zip'" \
    "cd '$C' && 7z a -tzip -mx=9 -mmt=$threads '$W/7.zip' $c"
  ratio_line "vorn pack speed vs" vorn zlib9 "zip -9" "tar|gzip -9" "tar|pigz -9 -p $threads" "7z -tzip -mx=9"
  ratio_line "vorn -g pack speed vs" "vorn -g" zlib9 "zip -9" "tar|pigz -9 -p $threads"

  echo " extract (each run into a fresh folder)"
  # Every tool makes the archive's folders itself, in the timed run.
  measure "vornex" "$bytes" - "mkdir -p '$W/../x/v$c'\$RUN" \
    "cd '$W/../x/v$c'\$RUN && '$vorn'ex '$W/a.vrn' +p '*'"
  [ -z "${VORN_BEFORE:-}" ] || measure "vornex (earlier build)" "$bytes" - "mkdir -p '$W/../x/b$c'\$RUN" \
    "cd '$W/../x/b$c'\$RUN && '$work/before/vornex' '$W/a.vrn' +p '*'"
  measure "unzip" "$bytes" - "mkdir -p '$W/../x/u$c'\$RUN" "unzip -q '$W/a.zip' -d '$W/../x/u$c'\$RUN"
  measure "gzip -dc|tar -x" "$bytes" - "mkdir -p '$W/../x/g$c'\$RUN" \
    "gzip -dc '$W/a.tgz' | tar -xf - -C '$W/../x/g$c'\$RUN"
  cmp -s "$C/$c/$(cd "$C/$c" && find . -type f | sort | head -n 1)" \
         "$W/../x/v${c}1/$(cd "$C/$c" && find . -type f | sort | head -n 1)" ||
    { echo "vornex extracted something else" >&2; exit 1; }
  ratio_line "vornex speed vs" vornex "vornex (earlier build)" unzip "gzip -dc|tar -x"

  echo " update"
  victim=$(cd "$C/$c" && find . -type f | sort | awk 'NR == 1 {f=$0} {a[NR]=$0} END {print a[int((NR+1)/2)]}' |
           sed 's/^\.\///')
  measure "vorn add 1 small file" "$bytes" "$W/u.vrn" "cp '$W/a.vrn' '$W/u.vrn'" \
    "cd '$work/small' && '$vorn' '$W/u.vrn' --threads $threads small.txt"
  measure "vorn delete 1 entry" "$bytes" "$W/d.vrn" "cp '$W/a.vrn' '$W/d.vrn'" \
    "'$vorn' '$W/d.vrn' --threads $threads -d '${victim//\//\\}'"
  measure "full recompression, 1 thread" "$bytes" "$W/f1.vrn" "rm -f '$W/f1.vrn'" \
    "cd '$C/$c' && '$vorn' '$W/f1.vrn' --threads 1 +r +p '*' -p '$work/small/small.txt'"
  measure "full recompression, $threads thr" "$bytes" "$W/f.vrn" "rm -f '$W/f.vrn'" \
    "cd '$C/$c' && '$vorn' '$W/f.vrn' --threads $threads +r +p '*' -p '$work/small/small.txt'"
  measure "zip -9 add 1 small file" "$bytes" "$W/u.zip" "cp '$W/a.zip' '$W/u.zip'" \
    "cd '$work/small' && zip -9 -q '$W/u.zip' small.txt"
  measure "zip delete 1 entry" "$bytes" "$W/d.zip" "cp '$W/a.zip' '$W/d.zip'" \
    "zip -q -d '$W/d.zip' '$c/$victim'"
  cmp -s "$W/u.vrn" "$W/f1.vrn" && echo "  (the updated archive equals the full recompression byte for byte)" ||
    echo "  NOTE: the updated archive differs from the full recompression" >&2
  ratio_line "vorn add speed vs" "vorn add 1 small file" "full recompression, 1 thread" \
    "full recompression, $threads thr" "zip -9 add 1 small file"
  ratio_line "vorn delete speed vs" "vorn delete 1 entry" "full recompression, 1 thread" "zip delete 1 entry"
done

if [[ " $corpora " == *" big "* ]]; then
  echo
  echo "== peak RSS of vorn on big with more threads =="
  for t in 1 2 4 8; do
    rm -f "$work/rss.vrn"
    /usr/bin/time -f "%M" -o "$work/time.txt" bash -c "cd '$corpus/big' && '$vorn' '$work/rss.vrn' --threads $t big.dat"
    echo "  --threads $t: $(tail -n 1 "$work/time.txt") KiB"
  done
fi

echo
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)"
# Removed only now: a mass deletion stalls these disks and would spoil timings.
rm -rf "$work"
