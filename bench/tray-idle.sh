#!/usr/bin/env bash
# Idle cost of the tray: voluntary context switches of the whole app (all
# threads) over 10 idle seconds with its icon shown in a panel (a stand-in
# StatusNotifierWatcher that has read the menu) and the settings window
# closed, next to the app's idle event loop without tray or updater
# (fw-bench-idle-baseline), measured side by side in this run.
set -euo pipefail
build=${FW_BUILD:?}
app="$build/Ferrowhistle.app/Contents/bin/Ferrowhistle"
defaults="$build/Ferrowhistle.app/Contents/bin/ferrowhistle-defaults"
baseline="$build/bin/fw-bench-idle-baseline"
host="$build/bin/fw-bench-tray-host"
window=${FW_BENCH_TRAY_IDLE_SECONDS:-10}

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/tmp" "$work/config" "$work/cache" "$work/data"
export TMPDIR="$work/tmp" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_DATA_HOME="$work/data"
# Nothing due for a day, and a feed address that stays on this machine.
"$defaults" write updateAutomaticCheck -bool true
"$defaults" write updateLastCheck -date "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
"$defaults" write UpdateFeedURL -string "https://127.0.0.1:9/appcast.json"

"$host" > "$work/host.out" 2>&1 & pids+=($!)
for _ in $(seq 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.kde.StatusNotifierWatcher 2>/dev/null | grep -q true && break; sleep 0.1; done
"$app" >/dev/null 2>&1 & pids+=($!); app_pid=$!
"$baseline" >/dev/null 2>&1 & pids+=($!); base_pid=$!
for _ in $(seq 300); do grep -q '^ready' "$work/host.out" && break; sleep 0.1; done
grep -q '^ready' "$work/host.out" || { echo "tray-idle: the panel never saw the app's item"; cat "$work/host.out"; exit 1; }
sleep 3

threads() { # "tid voluntary-switches" for every thread of $1
  local s n
  for s in /proc/"$1"/task/*/status; do
    n=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$s" 2>/dev/null) || continue
    [ -n "$n" ] && echo "$(basename "$(dirname "$s")") $n"
  done
}
switches() { # BEFORE AFTER
  awk 'NR == FNR { before[$1] = $2; next } { total += ($1 in before) ? $2 - before[$1] : $2 } END { print total + 0 }' \
    <(echo "$1") <(echo "$2")
}
a0=$(threads "$app_pid"); b0=$(threads "$base_pid")
sleep "$window"
a1=$(threads "$app_pid"); b1=$(threads "$base_pid")
app_n=$(switches "$a0" "$a1"); base_n=$(switches "$b0" "$b1")
echo "tray-idle: voluntary context switches over ${window} s, all threads (menu entries seen by the panel: $(awk '/^ready/ {print $2}' "$work/host.out"))"
echo "  app with its tray icon shown, settings closed: $app_n (target: at most 5)"
echo "  baseline (idle app without tray or updater):  $base_n"
echo "  difference: $((app_n - base_n))"
