# Shared by the idle benchmarks (sourced, never run on its own): a private
# sandbox for the app's files with the updater set so that nothing is due for
# a day, and the counting of voluntary context switches per thread.
# Expects $build; sets $app, $defaults, $baseline, $work and the pids array.
app="$build/Ferrowhistle.app/Contents/bin/Ferrowhistle"
defaults="$build/Ferrowhistle.app/Contents/bin/ferrowhistle-defaults"
baseline="$build/bin/fw-bench-idle-baseline"

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
