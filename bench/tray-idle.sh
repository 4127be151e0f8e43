#!/usr/bin/env bash
# Idle cost of the tray: voluntary context switches of the whole app (all
# threads) over 10 idle seconds with its icon shown in a panel (a stand-in
# StatusNotifierWatcher that has read the menu) and the settings window
# closed, next to the app's idle event loop without tray or updater
# (fw-bench-idle-baseline), measured side by side in this run.
set -euo pipefail
build=${FW_BUILD:?}
source "$(dirname "$0")/lib/idle.sh"
host="$build/bin/fw-bench-tray-host"
window=${FW_BENCH_TRAY_IDLE_SECONDS:-10}

"$host" > "$work/host.out" 2>&1 & pids+=($!)
for _ in $(seq 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.kde.StatusNotifierWatcher 2>/dev/null | grep -q true && break; sleep 0.1; done
"$app" >/dev/null 2>&1 & pids+=($!); app_pid=$!
"$baseline" >/dev/null 2>&1 & pids+=($!); base_pid=$!
for _ in $(seq 300); do grep -q '^ready' "$work/host.out" && break; sleep 0.1; done
grep -q '^ready' "$work/host.out" || { echo "tray-idle: the panel never saw the app's item"; cat "$work/host.out"; exit 1; }
sleep 3

a0=$(threads "$app_pid"); b0=$(threads "$base_pid")
sleep "$window"
a1=$(threads "$app_pid"); b1=$(threads "$base_pid")
app_n=$(switches "$a0" "$a1" app); base_n=$(switches "$b0" "$b1" baseline)
echo "tray-idle: voluntary context switches over ${window} s, all threads (menu entries seen by the panel: $(awk '/^ready/ {print $2}' "$work/host.out"))"
echo "  app with its tray icon shown, settings closed: $app_n (target: at most 5): $([ "$app_n" -le 5 ] && echo met || echo NOT met)"
echo "  baseline (idle app without tray or updater):  $base_n"
echo "  difference: $((app_n - base_n))"
