#!/usr/bin/env bash
# Against the usual way a script shows a message on Linux: notify-send to
# dunst. Both run on this X server and one private bus whose activation
# folder starts either (Ferrowhistle's file as `make install` writes it).
# Each figure is from starting the client to its message's window being
# mapped, median of 15, the two programs alternating:
# - warm: the server already runs;
# - cold: it does not, and the bus starts it on the request.
# Targets: Ferrowhistle at most 0.4x dunst warm and 0.9x cold. Cold is
# measured twice: for the built bundle, and for a copy made as a release
# ships it (stripped, its libraries and Qt plugins inside:
# bench/lib/release-layout.sh), the bundle users run.
set -euo pipefail
build=${FW_BUILD:?}
src=${FW_SOURCE:?}
bin="$build/Ferrowhistle.app/Contents/bin"
tools="$build/bin"
runs=15
app_name=com.copperkestrel.Ferrowhistle
peer_name=org.freedesktop.Notifications
for tool in dunst notify-send; do
  command -v "$tool" >/dev/null || { echo "peer: $tool is missing (scripts/install-deps installs it)"; exit 1; }
done
work=$(mktemp -d)
bus_pid=""
cleanup() {
  stop_owner "$app_name" 2>/dev/null || true
  stop_owner "$peer_name" 2>/dev/null || true
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# What the started servers see: private folders, no dunstrc of the user's
# (dunst takes its packaged defaults), and an updater with nothing due.
export TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
mkdir -p "$TMPDIR" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
"$bin/ferrowhistle-defaults" write updateLastCheck -date "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
"$bin/ferrowhistle-defaults" write UpdateFeedURL -string "https://127.0.0.1:9/appcast.json"
source "$(dirname "$0")/lib/bus.sh"
cat >"$work/data/dbus-1/services/$peer_name.service" <<SERVICE
[D-BUS Service]
Name=$peer_name
Exec=$(command -v dunst)
SERVICE

wait_gone() { # WINDOW-NAME: until no window of that name is on screen
  for _ in $(seq 1 300); do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.05
  done
  echo "peer: a $1 window stayed on screen" >&2
  return 1
}
ours() { # LABEL [BIN]: one Ferrowhistle request, ms to its card
  "$tools/fw-bench-mapwait" Ferrowhistle "${2:-$bin}/ferrowhistle-display" "$1" --duration 1
  wait_gone Ferrowhistle
}
theirs() { # LABEL: one dunst request, ms to its window
  "$tools/fw-bench-mapwait" Dunst "$(command -v notify-send)" -t 1000 "$1"
  wait_gone Dunst
}
report() { # PATH OURS THEIRS TARGET
  local a b
  a=$(printf '%s\n' $2 | median)
  b=$(printf '%s\n' $3 | median)
  echo "$1: ferrowhistle-display to card mapped, median of $runs: $a ms (runs: $(echo $2))"
  echo "$1: notify-send to dunst window mapped, median of $runs: $b ms (runs: $(echo $3))"
  awk -v p="$1" -v a="$a" -v b="$b" -v t="$4" 'BEGIN { r = a / b; printf "%s: ratio %.2fx against dunst (target <= %.1fx): %s\n", p, r, t, (r <= t ? "met" : "NOT met") }'
}

# Cold: neither server runs; each round alternates which goes first, so
# that drift on a shared machine hits both alike.
cold_rounds() { # BIN: sets cold_ours and cold_theirs
  cold_ours="" cold_theirs=""
  for i in $(seq 1 $runs); do
    if [ $((i % 2)) -eq 1 ]; then
      cold_ours+=" $(ours "Cold $i" "$1")"; stop_owner "$app_name"
      cold_theirs+=" $(theirs "Cold $i")"; stop_owner "$peer_name"
    else
      cold_theirs+=" $(theirs "Cold $i")"; stop_owner "$peer_name"
      cold_ours+=" $(ours "Cold $i" "$1")"; stop_owner "$app_name"
    fi
  done
}
source "$(dirname "$0")/lib/release-layout.sh"
release_layout "$build/Ferrowhistle.app" "$work/shipped"
shipped="$work/shipped/Ferrowhistle.app/Contents/bin"
register_for_activation "$shipped"
cold_rounds "$shipped"
shipped_ours=$cold_ours shipped_theirs=$cold_theirs
register_for_activation "$bin"
cold_rounds "$bin"

# Warm: both started by a first request that is not counted.
ours "Warming up" >/dev/null
theirs "Warming up" >/dev/null
warm_ours="" warm_theirs=""
for i in $(seq 1 $runs); do
  if [ $((i % 2)) -eq 1 ]; then
    warm_ours+=" $(ours "Warm $i")"; warm_theirs+=" $(theirs "Warm $i")"
  else
    warm_theirs+=" $(theirs "Warm $i")"; warm_ours+=" $(ours "Warm $i")"
  fi
done

report warm "$warm_ours" "$warm_theirs" 0.4
report cold "$cold_ours" "$cold_theirs" 0.9
report "cold, as released" "$shipped_ours" "$shipped_theirs" 0.9
