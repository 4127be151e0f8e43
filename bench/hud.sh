#!/usr/bin/env bash
# Card latency and memory (in-process), then the idle cost of the real app.
set -euo pipefail
"$FW_BUILD/bin/bench_hud"

work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
export TMPDIR="$work" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
"$FW_BUILD/Ferrowhistle.app/Contents/bin/Ferrowhistle" --test-message "Idle check" &
pid=$!
# Wait for the card to come and go.
for _ in $(seq 1 100); do xdotool search --onlyvisible --name '^Ferrowhistle$' >/dev/null 2>&1 && break; sleep 0.1; done
for _ in $(seq 1 150); do xdotool search --onlyvisible --name '^Ferrowhistle$' >/dev/null 2>&1 || break; sleep 0.1; done
sleep 1
count() { # voluntary switches: main thread, and all threads
  local main all=0 n
  main=$(awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$pid/status")
  for t in /proc/$pid/task/*/status; do n=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$t"); all=$((all + n)); done
  echo "$main $all"
}
read -r m0 a0 < <(count)
sleep 10
read -r m1 a1 < <(count)
echo "idle for 10 s after the card has gone: $((m1 - m0)) voluntary context switches on the GUI thread, $((a1 - a0)) over all threads (target <= 5): $([ $((a1 - a0)) -le 5 ] && echo met || echo NOT met)"
