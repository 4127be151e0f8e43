#!/usr/bin/env bash
# Moving a 100 MiB bundle (2,000 files in 20 folders, plus the real app's
# files) into an Applications folder as the app does it, against `cp -a` of
# the same tree on the same disk (<= 1.3x). Alternating runs, median; the
# page cache is warm for both.
set -euo pipefail
build=${FW_BUILD:?}
move="$build/bin/fw-bench-move"
runs=${FW_BENCH_RUNS:-5}
work=$(mktemp -d "${FW_BENCH_DIR:-/var/tmp}/fw-bench-move.XXXXXX")
trap 'rm -rf "$work"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() {
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'
}

mkdir -p "$work/media"
cp -a "$build/Ferrowhistle.app" "$work/media/"
resources="$work/media/Ferrowhistle.app/Contents/Resources"
head -c 104857600 /dev/urandom >"$work/pool"
(cd "$work" && split -n 2000 -d -a 4 pool part)
for i in $(seq 0 1999); do
  n=$(printf '%04d' "$i")
  d="$resources/data$(printf '%02d' $((i % 20)))"
  mkdir -p "$d"
  mv "$work/part$n" "$d/file$n.bin"
done
rm "$work/pool"
cat $(find "$work/media" -type f) >/dev/null

ours=(); base=()
for r in $(seq "$runs"); do
  ours+=("$("$move" "$work/media/Ferrowhistle.app" "$work/ours$r")")
  rm -rf "$work/ours$r"
  mkdir "$work/base$r"
  base+=("$(seconds cp -a "$work/media/Ferrowhistle.app" "$work/base$r/")")
  rm -rf "$work/base$r"
done
o=$(printf '%s\n' "${ours[@]}" | median)
b=$(printf '%s\n' "${base[@]}" | median)
awk -v o="$o" -v b="$b" 'BEGIN {printf "move of a 100 MiB bundle: %.3fs against cp -a %.3fs, ratio %.2fx (target <= 1.3x)\n", o, b, o / b}'
awk -v o="$o" -v b="$b" 'BEGIN {exit !(o <= 1.3 * b)}'
