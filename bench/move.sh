#!/usr/bin/env bash
# Moving a 100 MiB bundle (the real app plus 2,000 files in 20 folders) into
# an Applications folder as the app does it, against `cp -a` of the same tree
# on the same disk (<= 1.3x). Alternating runs, median; the page cache is warm
# for both.
set -euo pipefail
build=${FW_BUILD:?}
source "$(dirname "$0")/lib/install.sh"
move="$build/bin/fw-bench-move"

mkdir -p "$work/media"
cp -a "$build/Ferrowhistle.app" "$work/media/"
head -c 104857600 /dev/urandom >"$work/pool"
random_tree "$work/pool" "$work/media/Ferrowhistle.app/Contents/Resources"
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
judge "move of a 100 MiB bundle" "$(printf '%s\n' "${ours[@]}" | median)" "$(printf '%s\n' "${base[@]}" | median)" 1.3
exit $status
