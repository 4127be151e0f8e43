#!/usr/bin/env bash
# What an update delta saves, in bytes and in time:
# - size: the delta from build 500 to build 501 over the zip of 501, both
#   signed and notarized releases of the built bundle stripped as `make
#   release` strips it, for three kinds of change:
#   (a) one function of the app: a few bytes of one message's text in
#       Contents/bin/Ferrowhistle, changed in place. Rebuilding the tree
#       twice costs minutes, so the change is made in the built program; a
#       real rebuild also moves the code after the changed function, which
#       costs more than this edit (the README measured 0.3 % for one
#       rebuilt log message). Target: under 1 %.
#   (b) the updater module: the same kind of edit in
#       Contents/lib/ferrowhistle-updater.so. Target: under 1 %.
#   (c) a carried library replaced by a newer build of it: both bundles
#       carry libzstd.so.1 in Contents/lib, build 500 the older and build 501
#       the newer of this machine's libzstd1 and that of a Debian root
#       (scripts/check-fresh-system leaves them in FRESH_ROOTS, default
#       /var/tmp/ferrowhistle-fresh-roots), one figure per root whose copy
#       differs; with none the figure is skipped. No target: a rebuilt
#       library changes throughout.
#   Beside them, with no target, a release that changes nothing but its
#   build number: what every delta costs (the plist, the seal, signatures).
# - time: from "Install and Relaunch" (install-update over D-Bus, the
#   button's action) to build 501 of (a) owning the bus name with its updater
#   module loaded, for build 500 in an Applications folder reading a signed
#   feed on loopback HTTPS that offers the delta, against the same feed
#   without its deltas (the whole zip), alternating, median of
#   FW_BENCH_RUNS (default 5). Target: at most 1.0x.
# Needs root, for a mount namespace where the loopback server's authority
# stands in the system's certificate folder.
set -euo pipefail
build=${FW_BUILD:?}
src=${FW_SOURCE:?}
release="$build/bin/ferrowhistle-release"
bin="$build/Ferrowhistle.app/Contents/bin"
fresh_roots=${FRESH_ROOTS:-/var/tmp/ferrowhistle-fresh-roots}

if [ "$(id -u)" != 0 ]; then
  echo "update delta: skipped: needs root for a mount namespace"
  exit 0
fi
if [ "${FW_BENCH_NAMESPACE:-}" != 1 ]; then
  # The rest runs where /etc/ssl/certs can be replaced for this run alone.
  FW_BENCH_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

source "$(dirname "$0")/lib/install.sh"
source "$(dirname "$0")/lib/bus.sh"
runs=${FW_BENCH_RUNS:-5}
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; kill "$bus_pid" 2>/dev/null; rm -rf "$work"' EXIT
service=com.copperkestrel.Ferrowhistle

"$release" create-ca --name "Bench Developer CA" --out "$work/dev-ca.pem" >/dev/null
"$release" create-ca --name "Bench Notary CA" --out "$work/notary-ca.pem" >/dev/null
"$release" create-identity --ca "$work/dev-ca.pem" --kind developer --name "Developer ID Application: Bench" \
  --team BENCH12345 --out "$work/developer.pem" >/dev/null
"$release" create-identity --ca "$work/notary-ca.pem" --kind notary --name "Bench Notary" --out "$work/notary.pem" >/dev/null

# The built bundle stripped as a release is, once for all copies.
mkdir -p "$work/stripped"
cp -a "$build/Ferrowhistle.app" "$work/stripped/"
rm -rf "$work/stripped/Ferrowhistle.app/Contents/_CodeSignature"
"$src/scripts/strip-bundle" "$work/stripped/Ferrowhistle.app" "$work/debug" >/dev/null

# edit FILE TEXT: changes the last three characters of TEXT where it stands
# in FILE (as UTF-8 or as the UTF-16 of a string literal), in place and at
# the same length, as a reworded message would. Fails when TEXT isn't there.
edit() {
  python3 - "$1" "$2" <<'PY'
import sys
path, text = sys.argv[1], sys.argv[2]
data = bytearray(open(path, "rb").read())
for enc in ("utf-8", "utf-16-le"):
    old = text.encode(enc)
    at = data.find(old)
    if at >= 0:
        new = (text[:-3] + text[-3:].swapcase()).encode(enc)
        data[at:at + len(old)] = new
        open(path, "wb").write(data)
        sys.exit(0)
sys.exit(f"{text!r} is not in {path}")
PY
}

# release_as DIR BUILD [COMMAND...]: the stripped bundle as DIR/Ferrowhistle.app
# of that build, trusting the bench's authorities, changed by COMMAND (run
# with the bundle's path appended) before it is signed and notarized.
release_as() {
  local dir=$1 number=$2
  shift 2
  mkdir -p "$dir"
  cp -a "$work/stripped/Ferrowhistle.app" "$dir/"
  local app="$dir/Ferrowhistle.app"
  sed -i "/<key>CFBundleVersion<\/key>/{n;s|<string>[^<]*</string>|<string>$number</string>|}" "$app/Contents/Info.plist"
  mkdir -p "$app/Contents/Resources/Trust"
  cp "$work/dev-ca.crt" "$app/Contents/Resources/Trust/codesigning-anchors.pem"
  cp "$work/notary-ca.crt" "$app/Contents/Resources/Trust/notary-anchors.pem"
  [ $# = 0 ] || "$@" "$app"
  "$release" sign --identity "$work/developer.pem" "$app" >/dev/null
  "$release" notarize --notary "$work/notary.pem" "$app" >/dev/null
}

# Texts to reword: messages the running app never shows in this bench.
app_text="Start at login couldn't be changed"
updater_text="the delta was made for another copy of build"
edit_app() { edit "$1/Contents/bin/Ferrowhistle" "$app_text"; }
edit_updater() { edit "$1/Contents/lib/ferrowhistle-updater.so" "$updater_text"; }

# size NAME OLD NEW ZIP DELTA TARGET: makes both, prints the figure.
size() {
  local name=$1 old=$2 new=$3 zip=$4 delta=$5 target=$6
  "$release" package "$new" --out "$zip" --against "$old" >/dev/null
  "$release" delta "$old" "$new" --out "$delta" >/dev/null
  awk -v n="$name" -v d="$(stat -c %s "$delta")" -v z="$(stat -c %s "$zip")" -v t="$target" 'BEGIN {
    r = 100 * d / z
    if (t == "") printf "delta size, %s: %d bytes against a zip of %d bytes, %.2f %% (no target)\n", n, d, z, r
    else printf "delta size, %s: %d bytes against a zip of %d bytes, %.2f %% (target < %s %%): %s\n", n, d, z, r, t, (r < t ? "met" : "NOT met")
  }'
  awk -v d="$(stat -c %s "$delta")" -v z="$(stat -c %s "$zip")" -v t="$target" 'BEGIN {exit !(t == "" || 100 * d / z < t)}' || status=1
}

release_as "$work/500" 500
release_as "$work/501" 501
size "nothing changed but the build number" "$work/500/Ferrowhistle.app" "$work/501/Ferrowhistle.app" \
  "$work/release-501.zip" "$work/release-501-from-500.delta" ""
rm -rf "$work/501" "$work/release-501.zip"
release_as "$work/501a" 501 edit_app
release_as "$work/501b" 501 edit_updater
size "one function of the app changed" "$work/500/Ferrowhistle.app" "$work/501a/Ferrowhistle.app" \
  "$work/release-501a.zip" "$work/release-501a-from-500.delta" 1
size "the updater module changed" "$work/500/Ferrowhistle.app" "$work/501b/Ferrowhistle.app" \
  "$work/release-501b.zip" "$work/release-501b-from-500.delta" 1
rm -rf "$work/501b"

# (c): libzstd.so.1 carried in both, from two builds of its Debian package:
# this machine's and the one in each Debian root under FRESH_ROOTS whose
# copy differs, the older build in build 500 and the newer in 501.
host_zstd=$(readlink -f /usr/lib/x86_64-linux-gnu/libzstd.so.1)
host_version=$(dpkg-query -W -f '${Version}' libzstd1 2>/dev/null || true)
pairs=0
for root in "$fresh_roots"/*; do
  f=$root/usr/lib/x86_64-linux-gnu/libzstd.so.1
  [ -e "$f" ] && [ -n "$host_version" ] || continue
  f=$(readlink -f "$f")
  ! cmp -s "$f" "$host_zstd" || continue
  version=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Version}' libzstd1 2>/dev/null) || continue
  if dpkg --compare-versions "$version" lt "$host_version"; then
    older=$f older_version=$version newer=$host_zstd newer_version=$host_version
  else
    older=$host_zstd older_version=$host_version newer=$f newer_version=$version
  fi
  carry_older() { cp "$older" "$1/Contents/lib/libzstd.so.1"; }
  carry_newer() { cp "$newer" "$1/Contents/lib/libzstd.so.1"; }
  release_as "$work/500c" 500 carry_older
  release_as "$work/501c" 501 carry_newer
  size "a carried library replaced by a newer build (libzstd1 $older_version by $newer_version)" \
    "$work/500c/Ferrowhistle.app" "$work/501c/Ferrowhistle.app" \
    "$work/release-501c.zip" "$work/release-501c-from-500.delta" ""
  rm -rf "$work/500c" "$work/501c" "$work/release-501c.zip" "$work/release-501c-from-500.delta"
  pairs=$((pairs + 1))
done
[ "$pairs" != 0 ] ||
  echo "delta size, a carried library replaced: skipped: no other build of libzstd1 in a Debian root under $fresh_roots (scripts/check-fresh-system makes them)"

# --- Time ----------------------------------------------------------------------
rm -rf "$work/501a"
serve
url="https://127.0.0.1:$port/release-501a.zip"
# Both signed, as the running copy (which carries anchors) reads no other feed.
"$release" feed "$work/release-501a.zip" --url "$url" --delta "500=$work/release-501a-from-500.delta" \
  --identity "$work/developer.pem" --out "$work/appcast-delta.json" >/dev/null
"$release" feed "$work/release-501a.zip" --url "$url" \
  --identity "$work/developer.pem" --out "$work/appcast-full.json" >/dev/null
grep -q '"deltas"' "$work/appcast-delta.json" || { echo "the feed lists no delta" >&2; exit 1; }
# The app reads the system's authorities only: here they are the server's.
mkdir "$work/certs"
cp "$ca" "$work/certs/$(openssl x509 -hash -noout -in "$ca").0"
mount --bind "$work/certs" /etc/ssl/certs

action() { # NAME: asks the running app for one of its actions
  gdbus call --session --dest "$service" --object-path /com/copperkestrel/Ferrowhistle \
    --method org.freedesktop.Application.ActivateAction "$1" '[]' '{}' 2>&1
}
up() { # PID: whether a copy other than PID owns the name with its updater loaded
  local pid
  pid=$(owner_pid_of "$service" || true)
  [ -n "$pid" ] && [ "$pid" != "$1" ] && grep -q ferrowhistle-updater.so "/proc/$pid/maps" 2>/dev/null
}

# one_update FEED: seconds from the install request to build 501 up, for
# build 500 reading appcast-FEED.json.
one_update() {
  local home="$work/home-$RANDOM$RANDOM" log pid t0 t1 i
  log="$home.log"
  mkdir -p "$home/Applications"
  cp -a "$work/500/Ferrowhistle.app" "$home/Applications/"
  local app="$home/Applications/Ferrowhistle.app"
  HOME=$home "$bin/ferrowhistle-defaults" write UpdateFeedURL -string "https://127.0.0.1:$port/appcast-$1.json"
  HOME=$home "$bin/ferrowhistle-defaults" write updateAutomaticCheck -bool false
  HOME=$home setsid "$app/Contents/bin/Ferrowhistle" 2>>"$log" </dev/null >/dev/null &
  for i in $(seq 400); do pid=$(owner_pid_of "$service" || true); [ -n "$pid" ] && break; sleep 0.05; done
  [ -n "$pid" ] || { echo "build 500 did not start" >&2; cat "$log" >&2; return 1; }
  action check-for-updates >/dev/null
  for i in $(seq 600); do grep -q 'Update available: ' "$log" && break; sleep 0.05; done
  grep -q 'Update available: ' "$log" || { echo "no update was offered" >&2; cat "$log" >&2; return 1; }

  t0=$(date +%s%N)
  action install-update >/dev/null
  for i in $(seq 12000); do up "$pid" && break; sleep 0.01; done
  t1=$(date +%s%N)
  up "$pid" || { echo "the new copy did not come up" >&2; cat "$log" >&2; return 1; }
  grep -q '<string>501</string>' "$app/Contents/Info.plist"
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'

  action quit >/dev/null
  for i in $(seq 400); do [ -z "$(owner_pid_of "$service" || true)" ] && break; sleep 0.05; done
  stop_owner "$service"
  # Each side took the path it was meant to.
  if grep -q 'Installing from the whole archive' "$log"; then
    echo "the update fell back to the whole archive" >&2; cat "$log" >&2; return 1
  fi
  if [ "$1" = delta ] && ! grep -q 'Made the update from the delta for build 500' "$log"; then
    echo "the update was not made from the delta" >&2; cat "$log" >&2; return 1
  fi
  if [ "$1" = full ] && grep -q 'from the delta' "$log"; then
    echo "the baseline used a delta" >&2; cat "$log" >&2; return 1
  fi
  rm -rf "$home" "$log"
}

ours=(); base=()
for r in $(seq "$runs"); do
  ours+=("$(one_update delta)")
  base+=("$(one_update full)")
done
echo "runs, delta: ${ours[*]}; whole zip: ${base[*]}"
ours_med=$(printf '%s\n' "${ours[@]}" | median)
base_med=$(printf '%s\n' "${base[@]}" | median)
awk -v o="$ours_med" -v b="$base_med" 'BEGIN {
  printf "update from the request to the new copy up, delta against the whole zip: %.3fs against %.3fs, ratio %.2fx (target <= 1.0x): %s\n", o, b, o / b, (o <= b ? "met" : "NOT met") }'
awk -v o="$ours_med" -v b="$base_med" 'BEGIN {exit !(o <= b)}' || status=1
exit $status
