#!/usr/bin/env bash
# What carrying its libraries costs a release:
# - cold start: from starting the program with --action settings to its
#   settings window mapped, median of 10, for the Release build's bundle
#   made to carry its libraries and plugins (scripts/bundle-libraries, as
#   `make release` does) against the same bundle linked to the system's
#   libraries, both stripped alike, runs alternating. The app runs a
#   command-line action a fixed delay after it started (kTestMessageDelayMs);
#   that wait is the same for both and no work, so the ratio is taken on
#   the time beyond it. Target: at most 1.05x.
# - size: the newest release zip in RELEASE_DIR, beside the sum of the files
#   it carries. Target: at most 36 MB (36,000,000 bytes) for the zip.
# Each needs what `make release` leaves: RELEASE_BUILD (default
# build-release) for the first, RELEASE_DIR (default release) for the
# second; without it the figure is skipped, nothing is built here.
set -euo pipefail
build=${FW_BUILD:?}
src=${FW_SOURCE:?}
release_build=$(realpath -m "${RELEASE_BUILD:-$src/build-release}")
release_dir=$(realpath -m "${RELEASE_DIR:-$src/release}")
runs=10
work=$(mktemp -d)
export TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run" HOME="$work/home"
mkdir -p "$TMPDIR" "$HOME"
chmod 0700 "$work"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
trap 'rm -rf "$work"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
service=com.copperkestrel.Ferrowhistle
owner_pid() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:"$service" 2>/dev/null | awk '/uint32/ {print $2}'
}
stop_app() { # the copy mapwait left behind, if it outlived it
  local pid
  pid=$(owner_pid || true)
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  for _ in $(seq 1 200); do [ -z "$(owner_pid || true)" ] && return 0; sleep 0.05; done
}

# --- Cold start ----------------------------------------------------------------
built="$release_build/Ferrowhistle.app"
if [ ! -x "$built/Contents/bin/Ferrowhistle" ]; then
  echo "cold start, carried against system libraries: skipped: no Release build in $release_build (make release makes one)"
else
  source "$(dirname "$0")/lib/release-layout.sh"
  release_layout --system-libraries "$built" "$work/system"
  release_layout "$built" "$work/carried"
  system="$work/system/Ferrowhistle.app"
  carried="$work/carried/Ferrowhistle.app"
  # One start of each first, so that neither pays for the page cache alone.
  for app in "$system" "$carried"; do
    "$build/bin/fw-bench-mapwait" "Ferrowhistle Settings" "$app/Contents/bin/Ferrowhistle" --action settings >/dev/null
    stop_app
  done
  ours=()
  base=()
  for i in $(seq 1 $runs); do
    base+=("$("$build/bin/fw-bench-mapwait" "Ferrowhistle Settings" "$system/Contents/bin/Ferrowhistle" --action settings)")
    stop_app
    ours+=("$("$build/bin/fw-bench-mapwait" "Ferrowhistle Settings" "$carried/Contents/bin/Ferrowhistle" --action settings)")
    stop_app
  done
  ours_med=$(printf '%s\n' "${ours[@]}" | median)
  base_med=$(printf '%s\n' "${base[@]}" | median)
  delay=$(sed -n 's/.*kTestMessageDelayMs = \([0-9]*\);.*/\1/p' "$src/src/app/FerrowhistleApp.h")
  echo "cold start to the settings window, carried libraries, median of $runs: $ours_med ms (runs: ${ours[*]})"
  echo "cold start to the settings window, system libraries, median of $runs: $base_med ms (runs: ${base[*]})"
  awk -v o="$ours_med" -v b="$base_med" -v d="${delay:?the action delay is not found in FerrowhistleApp.h}" 'BEGIN {
    r = (o - d) / (b - d)
    printf "cold start beyond the %d ms action delay: %.1f ms carried against %.1f ms with the system libraries, ratio %.2fx (target <= 1.05x): %s\n", d, o - d, b - d, r, (r <= 1.05 ? "met" : "NOT met") }'
fi

# --- Size ----------------------------------------------------------------------
zip=$(ls -t "$release_dir"/Ferrowhistle-*.zip 2>/dev/null | head -n 1 || true)
if [ -z "$zip" ]; then
  echo "release zip size: skipped: no Ferrowhistle-*.zip in $release_dir (make release makes one)"
else
  # unzip -v: length, method, compressed size, ..., name. Each file is put in
  # one group: the app's own files, carried libraries (ICU's data apart, the
  # largest), Qt plugins, licences and the rest.
  unzip -v "$zip" | awk -v zip="$zip" -v size="$(stat -L -c %s "$zip")" '
    $8 ~ /^Ferrowhistle\.app\// && $8 !~ /\/$/ {
      name = $8
      if (name ~ /\/Contents\/lib\/libicudata\./) g = "ICU data"
      else if (name ~ /\/Contents\/lib\/ferrowhistle-/ || name ~ /\/Contents\/bin\//) g = "own programs"
      else if (name ~ /\/Contents\/lib\//) g = "other carried libraries"
      else if (name ~ /\/Contents\/plugins\//) g = "Qt plugins"
      else g = "resources, licences, seal"
      raw[g] += $1; packed[g] += $3; n[g]++; total += $1; files++
    }
    END {
      n_groups = split("own programs|ICU data|other carried libraries|Qt plugins|resources, licences, seal", order, "|")
      for (i = 1; i <= n_groups; i++)
        printf "  %-26s %4d files, %6.2f MB, %6.2f MB in the zip\n", order[i], n[order[i]], raw[order[i]] / 1e6, packed[order[i]] / 1e6
      m = split(zip, parts, "/")
      printf "release zip %s: %d bytes (%.2f MB), carrying %d files of %.2f MB\n", parts[m], size, size / 1e6, files, total / 1e6
      printf "release zip size: %.2f MB (target <= 36 MB): %s\n", size / 1e6, (size <= 36000000 ? "met" : "NOT met")
    }'
fi
