# Shared by the automation benchmarks (sourced, never run on its own): a
# private session bus whose activation folder is $work/data/dbus-1/services,
# holding the activation file for the built bundle as `make install` writes
# one, and helpers to find and stop whoever owns a name on it.
# Expects $work (a fresh folder, removed by the caller) and $bin (the
# bundle's bin folder); sets $bus_pid and DBUS_SESSION_BUS_ADDRESS.
# Services the bus starts inherit this shell's environment, so export what
# they should see before sourcing.

median() { sort -n | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }

# register_for_activation BIN: the bus starts the bundle whose bin folder
# is BIN from now on. The autostart entry the registration also writes goes
# to a folder of the run's own, never the user's.
register_for_activation() {
  XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/registration" "$1/Ferrowhistle" --register-with-desktop >/dev/null
  if [ -n "${bus_pid:-}" ]; then
    dbus-send --session --type=method_call --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.ReloadConfig
  fi
}
register_for_activation "$bin"
cat >"$work/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$work/data/dbus-1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
  </policy>
</busconfig>
CONF
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>/dev/null &
bus_pid=$!
for _ in $(seq 1 200); do [ -S "$work/bus" ] && break; sleep 0.05; done

owner_pid_of() { # NAME
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:"$1" 2>/dev/null |
    awk '/uint32/ {print $2}'
}
stop_owner() { # NAME: ends the process owning NAME and waits until the name is free
  local pid
  pid=$(owner_pid_of "$1" || true)
  [ -z "$pid" ] && return 0
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 200); do [ -z "$(owner_pid_of "$1" || true)" ] && return 0; sleep 0.05; done
}
