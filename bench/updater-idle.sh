#!/usr/bin/env bash
# Idle cost of the automatic-check loop: voluntary context switches of the
# whole app (all threads) over 60 idle seconds with automatic checks on and
# nothing due, next to the same figure for the app's idle event loop without
# the updater (fw-bench-idle-baseline), measured side by side in this run.
# The window starts 5 s after launch, so it includes the loop's first look
# (at 30 s), which finds nothing due.
set -euo pipefail
build=${FW_BUILD:?}
app="$build/Ferrowhistle.app/Contents/bin/Ferrowhistle"
defaults="$build/Ferrowhistle.app/Contents/bin/ferrowhistle-defaults"
baseline="$build/bin/fw-bench-idle-baseline"
window=${FW_BENCH_IDLE_SECONDS:-60}

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
# Checks on, last check just now: nothing is due for a day. The feed address
# points at a closed loopback port, so even a wrong look stays on this machine.
"$defaults" write updateAutomaticCheck -bool true
"$defaults" write updateLastCheck -date "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
"$defaults" write UpdateFeedURL -string "https://127.0.0.1:9/appcast.json"

threads() { # "tid voluntary-switches" for every thread of $1
  local s n
  for s in /proc/"$1"/task/*/status; do
    n=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$s" 2>/dev/null) || continue
    [ -n "$n" ] && echo "$(basename "$(dirname "$s")") $n"
  done
}
# Switches between two snapshots: threads present in both count their
# difference, new ones all of theirs. A thread that ended in between took its
# count with it, so it is reported rather than guessed at.
switches() { # BEFORE AFTER LABEL
  awk -v label="$3" 'NR == FNR { before[$1] = $2; next }
    { total += ($1 in before) ? $2 - before[$1] : $2; seen[$1] = 1 }
    END { for (t in before) if (!(t in seen)) gone++
          if (gone) printf "  note: %d thread(s) of the %s ended during the window; their switches are not counted\n", gone, label > "/dev/stderr"
          print total + 0 }' <(echo "$1") <(echo "$2")
}

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
