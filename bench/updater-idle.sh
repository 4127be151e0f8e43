#!/usr/bin/env bash
# Idle cost of the automatic-check loop: voluntary context switches of the
# whole app (all threads) over 60 idle seconds with automatic checks on and
# nothing due, next to the same figure for the app's idle event loop without
# the updater (fw-bench-idle-baseline), measured side by side in this run.
# The window starts 5 s after launch, so it includes the loop's first look
# (at 30 s), which finds nothing due.
set -euo pipefail
build=${FW_BUILD:?}
source "$(dirname "$0")/lib/idle.sh"
window=${FW_BENCH_IDLE_SECONDS:-60}

"$app" >/dev/null 2>&1 & pids+=($!); app_pid=$!
"$baseline" >/dev/null 2>&1 & pids+=($!); base_pid=$!
sleep 5
for p in "$app_pid" "$base_pid"; do
  kill -0 "$p" 2>/dev/null || { echo "updater-idle: process $p did not stay up"; exit 1; }
done
a0=$(threads "$app_pid"); b0=$(threads "$base_pid")
sleep "$window"
a1=$(threads "$app_pid"); b1=$(threads "$base_pid")
app_n=$(switches "$a0" "$a1" app); base_n=$(switches "$b0" "$b1" baseline)
ratio=$(awk -v a="$app_n" -v b="$base_n" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
echo "updater-idle: voluntary context switches over ${window} s, all threads"
echo "  app with automatic checks on, nothing due: $app_n"
echo "  baseline (idle app without the updater):   $base_n"
echo "  ratio app/baseline: $ratio (difference: $((app_n - base_n)))"
