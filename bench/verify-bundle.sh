#!/usr/bin/env bash
# Signature verification of a 2,000-file, 100 MiB bundle, next to what the
# same check costs with the stock tools in this run: sha256sum over the same
# files plus one `openssl cms -verify` of the signature. Target: within 1.3x.
set -euo pipefail
build=${FW_BUILD:?}
release="$build/bin/ferrowhistle-release"
bench="$build/bin/bench-verify-bundle"
runs=${FW_BENCH_RUNS:-5}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib/random-tree.sh"
app="$work/Ferrowhistle.app"
mkdir -p "$app/Contents/bin" "$app/Contents/Resources/Trust"
cat >"$app/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.copperkestrel.Ferrowhistle</string>
<key>CFBundleShortVersionString</key><string>1.0</string>
<key>CFBundleVersion</key><string>1</string>
</dict></plist>
PLIST

# 2,000 files of 52,428 or 52,429 bytes (100 MiB in all) in 20 folders.
openssl rand -out "$work/pool" 104857600 2>/dev/null
random_tree "$work/pool" "$app/Contents/Resources"
rm "$work/pool"

"$release" create-ca --name "Bench CA" --out "$work/ca.pem" >/dev/null
"$release" create-identity --ca "$work/ca.pem" --kind developer --name "Bench" --team BENCHTEAM1 --out "$work/dev.pem" >/dev/null
cp "$work/ca.crt" "$app/Contents/Resources/Trust/codesigning-anchors.pem"
"$release" sign --identity "$work/dev.pem" "$app" >/dev/null
count=$(find "$app" -path "$app/Contents/_CodeSignature" -prune -o -type f -print | wc -l)
bytes=$(find "$app/Contents/Resources" -type f -name '*.bin' -printf '%s\n' | awk '{s+=$1} END {print s}')
echo "bundle: $count files, $bytes bytes of data"

# Warm the page cache so both sides read from memory.
find "$app" -type f -exec cat {} + >/dev/null

baseline_once() {
  local t0 t1
  t0=$(date +%s%N)
  find "$app" -path "$app/Contents/_CodeSignature" -prune -o -type f -print0 | xargs -0 sha256sum >/dev/null
  openssl cms -verify -binary -inform DER -in "$app/Contents/_CodeSignature/CodeSignature" \
    -content "$app/Contents/_CodeSignature/CodeResources" -CAfile "$work/ca.crt" -purpose any -out /dev/null 2>/dev/null
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'
}
# The same with OpenSSL's own digest command, which uses the CPU's SHA
# instructions as the verifier does; shown for reference.
openssl_once() {
  local t0 t1
  t0=$(date +%s%N)
  find "$app" -path "$app/Contents/_CodeSignature" -prune -o -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

baseline=$(for _ in $(seq "$runs"); do baseline_once; done | median)
dgst=$(for _ in $(seq "$runs"); do openssl_once; done | median)
ours=$("$bench" "$app" "$app" "$runs")
echo "verifySignature: ${ours}s (median of $runs)"
echo "baseline (sha256sum + openssl cms -verify): ${baseline}s (median of $runs)"
awk -v o="$ours" -v b="$baseline" 'BEGIN {printf "ratio: %.2fx (target <= 1.3x): %s\n", o / b, (o <= 1.3 * b ? "met" : "NOT met")}'
awk -v o="$ours" -v d="$dgst" 'BEGIN {printf "for reference, openssl dgst -sha256 over the files: %ss (%.2fx)\n", d, o / d}'
awk -v o="$ours" -v b="$baseline" 'BEGIN {exit !(o <= 1.3 * b)}'
