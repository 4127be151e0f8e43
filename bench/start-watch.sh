#!/usr/bin/env bash
# An update of the real bundle as a user gets it, from "Install and Relaunch"
# until the new copy is up, with the watch of its start against the same
# install relaunched without it, alternating, median of a few runs (<= 1.2x).
#   Both: the real app, build 500 in an Applications folder, is asked over
#   D-Bus (install-update, the button's action) to install build 501 from a
#   feed on loopback HTTPS. The clock stops once the new copy owns the bus
#   name and has its updater module loaded.
#   Ours: the relaunch runs the kept copy's program, which starts the new
#   copy and waits for its start record; the clock also waits for its line
#   "Update to ... started; ... is kept beside it".
#   Baseline: the kept copy's program is made non-executable once it runs,
#   so the relaunch starts the new copy itself, as it did before the watch.
# Needs root, for a mount namespace where the loopback server's authority
# stands in the system's certificate folder.
set -euo pipefail
build=${FW_BUILD:?}
release="$build/bin/ferrowhistle-release"
bin="$build/Ferrowhistle.app/Contents/bin"

if [ "$(id -u)" != 0 ]; then
  echo "start watch: skipped (needs root for a mount namespace)"
  exit 0
fi
if [ "${FW_BENCH_NAMESPACE:-}" != 1 ]; then
  # The rest runs where /etc/ssl/certs can be replaced for this run alone.
  FW_BENCH_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

source "$(dirname "$0")/lib/install.sh"
source "$(dirname "$0")/lib/bus.sh"
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; kill "$bus_pid" 2>/dev/null; rm -rf "$work"' EXIT
service=com.copperkestrel.Ferrowhistle

"$release" create-ca --name "Bench Developer CA" --out "$work/dev-ca.pem" >/dev/null
"$release" create-ca --name "Bench Notary CA" --out "$work/notary-ca.pem" >/dev/null
"$release" create-identity --ca "$work/dev-ca.pem" --kind developer --name "Developer ID Application: Bench" \
  --team BENCH12345 --out "$work/developer.pem" >/dev/null
"$release" create-identity --ca "$work/notary-ca.pem" --kind notary --name "Bench Notary" --out "$work/notary.pem" >/dev/null

# copy_as DIR BUILD: the built bundle as DIR/Ferrowhistle.app of that build,
# trusting the bench's authorities.
copy_as() {
  mkdir -p "$1"
  cp -a "$build/Ferrowhistle.app" "$1/"
  local app="$1/Ferrowhistle.app"
  rm -rf "$app/Contents/_CodeSignature"
  sed -i "/<key>CFBundleVersion<\/key>/{n;s|<string>[^<]*</string>|<string>$2</string>|}" "$app/Contents/Info.plist"
  mkdir -p "$app/Contents/Resources/Trust"
  cp "$work/dev-ca.crt" "$app/Contents/Resources/Trust/codesigning-anchors.pem"
  cp "$work/notary-ca.crt" "$app/Contents/Resources/Trust/notary-anchors.pem"
}
copy_as "$work/running" 500
# Notarized like any release: it becomes the kept copy, which the watch
# checks before it watches.
"$release" sign --identity "$work/developer.pem" "$work/running/Ferrowhistle.app" >/dev/null
"$release" notarize --notary "$work/notary.pem" "$work/running/Ferrowhistle.app" >/dev/null
copy_as "$work/next" 501
"$release" sign --identity "$work/developer.pem" "$work/next/Ferrowhistle.app" >/dev/null
"$release" notarize --notary "$work/notary.pem" "$work/next/Ferrowhistle.app" >/dev/null
"$release" package "$work/next/Ferrowhistle.app" --out "$work/release.zip" --against "$work/running/Ferrowhistle.app" >/dev/null
rm -rf "$work/next"
awk -v s="$(stat -c %s "$work/release.zip")" 'BEGIN {printf "release archive: %.1f MiB\n", s / 1048576}'

serve
# Signed, as the running copy (which carries anchors) reads no other feed.
"$release" feed "$work/release.zip" --url "https://127.0.0.1:$port/release.zip" \
  --identity "$work/developer.pem" --out "$work/appcast.json" >/dev/null
# The app reads the system's authorities only: here they are the server's.
mkdir "$work/certs"
cp "$ca" "$work/certs/$(openssl x509 -hash -noout -in "$ca").0"
mount --bind "$work/certs" /etc/ssl/certs

action() { # NAME: asks the running app for one of its actions
  gdbus call --session --dest "$service" --object-path /com/copperkestrel/Ferrowhistle \
    --method org.freedesktop.Application.ActivateAction "$1" '[]' '{}' 2>&1
}
# up PID LOG WATCHED: whether a copy other than PID owns the name with its
# updater loaded (and, watched, whether the watch has confirmed it).
up() {
  local pid
  pid=$(owner_pid_of "$service" || true)
  [ -n "$pid" ] && [ "$pid" != "$1" ] && grep -q ferrowhistle-updater.so "/proc/$pid/maps" 2>/dev/null || return 1
  [ "$3" = 0 ] || grep -q 'Ferrowhistle: Update to .* started; .* is kept beside it' "$2"
}

# one_update WATCHED: seconds from the install request to the new copy up.
one_update() {
  local home="$work/home-$RANDOM$RANDOM" log pid t0 t1 i
  log="$home.log"
  mkdir -p "$home/Applications"
  cp -a "$work/running/Ferrowhistle.app" "$home/Applications/"
  local app="$home/Applications/Ferrowhistle.app"
  HOME=$home "$bin/ferrowhistle-defaults" write UpdateFeedURL -string "https://127.0.0.1:$port/appcast.json"
  HOME=$home "$bin/ferrowhistle-defaults" write updateAutomaticCheck -bool false
  HOME=$home setsid "$app/Contents/bin/Ferrowhistle" 2>>"$log" </dev/null >/dev/null &
  for i in $(seq 400); do pid=$(owner_pid_of "$service" || true); [ -n "$pid" ] && break; sleep 0.05; done
  [ -n "$pid" ] || { echo "build 500 did not start" >&2; cat "$log" >&2; return 1; }
  [ "$1" = 1 ] || chmod a-x "$app/Contents/bin/Ferrowhistle"
  action check-for-updates >/dev/null
  for i in $(seq 600); do grep -q 'Update available: ' "$log" && break; sleep 0.05; done
  grep -q 'Update available: ' "$log" || { echo "no update was offered" >&2; cat "$log" >&2; return 1; }

  t0=$(date +%s%N)
  action install-update >/dev/null
  for i in $(seq 12000); do up "$pid" "$log" "$1" && break; sleep 0.01; done
  t1=$(date +%s%N)
  up "$pid" "$log" "$1" || { echo "the new copy did not come up" >&2; cat "$log" >&2; return 1; }
  grep -q '<string>501</string>' "$app/Contents/Info.plist"
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f\n", (b - a) / 1e9}'

  action quit >/dev/null
  for i in $(seq 400); do [ -z "$(owner_pid_of "$service" || true)" ] && break; sleep 0.05; done
  stop_owner "$service"
  if grep -q 'was put back' "$log"; then echo "the watch put the old copy back" >&2; cat "$log" >&2; return 1; fi
  if [ "$1" = 0 ] && grep -q -- '--watch-start\|is kept beside it' "$log"; then
    echo "the baseline's relaunch was watched" >&2; cat "$log" >&2; return 1
  fi
  [ -d "$home/Applications/.Ferrowhistle-previous.app" ] || { echo "no copy was kept" >&2; return 1; }
  rm -rf "$home" "$log"
}

ours=(); base=()
for r in $(seq "$runs"); do
  ours+=("$(one_update 1)")
  base+=("$(one_update 0)")
done
judge "update from the request to the new copy up, watched" "$(printf '%s\n' "${ours[@]}" | median)" \
  "$(printf '%s\n' "${base[@]}" | median)" 1.2
exit $status
