#!/usr/bin/env bash
# Three steps of an update install, each as the app runs it and as the usual
# tool does the same job, alternating, median of a few runs:
#   the SHA-256 of a 200 MiB archive against `openssl dgst -sha256` (<= 1.2x);
#   unpacking 2,000 files / 100 MiB against `bsdtar -xf` (<= 1.3x);
#   downloading 200 MiB over loopback HTTPS against curl (<= 1.3x), with the
#   app's peak RSS growth (< 32 MiB).
set -euo pipefail
build=${FW_BUILD:?}
steps="$build/bin/fw-bench-install-steps"
source "$(dirname "$0")/lib/install.sh"

# 1. Digest.
openssl rand -out "$work/archive" 209715200 2>/dev/null
cat "$work/archive" >/dev/null
ours=$(for _ in $(seq "$runs"); do "$steps" sha256 "$work/archive"; done | median)
base=$(for _ in $(seq "$runs"); do seconds openssl dgst -sha256 "$work/archive"; done | median)
judge "sha256 of 200 MiB" "$ours" "$base" 1.2

# 2. Unpacking: 2,000 files of about 52 KiB in 20 folders.
random_tree "$work/archive" "$work/tree/Ferrowhistle.app/Contents/Resources"
(cd "$work/tree" && zip -qr -0 "$work/tree.zip" Ferrowhistle.app)
ours_u=(); base_u=()
for r in $(seq "$runs"); do
  ours_u+=("$("$steps" unzip "$work/tree.zip" "$work/ours$r")")
  rm -rf "$work/ours$r"
  mkdir "$work/base$r"
  base_u+=("$(seconds bsdtar -xf "$work/tree.zip" -C "$work/base$r")")
  rm -rf "$work/base$r"
done
judge "unpack 2,000 files / 100 MiB" "$(printf '%s\n' "${ours_u[@]}" | median)" "$(printf '%s\n' "${base_u[@]}" | median)" 1.3

# 3. Download from an HTTPS server on loopback.
serve
url="https://127.0.0.1:$port/archive"
ours_d=(); base_d=(); rss=()
for r in $(seq "$runs"); do
  read -r t k < <("$steps" download "$url" "$work/ours.zip" "$ca")
  ours_d+=("$t"); rss+=("$k")
  rm -f "$work/ours.zip"
  base_d+=("$(seconds curl -s --cacert "$ca" -o "$work/curl.zip" "$url")")
  rm -f "$work/curl.zip"
done
judge "download of 200 MiB" "$(printf '%s\n' "${ours_d[@]}" | median)" "$(printf '%s\n' "${base_d[@]}" | median)" 1.3
peak=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
awk -v k="$peak" 'BEGIN {printf "download peak RSS growth: %.1f MiB (target < 32 MiB): %s\n", k / 1024, (k < 32 * 1024 ? "met" : "NOT met")}'
[ "$peak" -lt 32768 ] || status=1
exit $status
