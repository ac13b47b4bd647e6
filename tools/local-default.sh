#!/usr/bin/env bash
# Runs the built daemon (path in $1) in debug mode on this repository's etc/
# configuration, from the working directory run/, which it creates (there
# "../etc/iec/config/" is the repository's etc/iec/config, and every absolute
# daemon path, such as /etc/iec/config/IECServer.conf, is read below run/
# through a link run/etc -> ../etc), with the local stand-ins it needs:
#   - the home-platform stand-in on the configured nymea port, answering the
#     power-limit source "relais" (override with NYMEA_SOURCE=...);
#   - a mosquitto broker when an MQTT gateway is active (none is built yet;
#     its configuration is the first tools/MQTT_configs/*.conf once that
#     folder exists, else a plain broker on port 1883);
#   - a private dbus-daemon as the system bus when the machine has none.
# The stand-ins are stopped when the daemon ends.
set -euo pipefail

daemon=$(readlink -f "$1")
repo=$(cd "$(dirname "$0")/.." && pwd)
conf=$repo/etc/iec/config/IECServer.conf
run_dir=$repo/run

# The last value of a key in IECServer.conf, trimmed of blanks and tabs.
conf_value() {
  sed -n "s/^[ \t]*$1[ \t]*=[ \t]*//p" "$conf" | sed 's/[ \t]*$//' | tail -n 1
}

mkdir -p "$run_dir"
[ -e "$run_dir/.gitignore" ] || echo '*' >"$run_dir/.gitignore"
# Absolute paths (/etc/iec/..., /data/...) are mapped below run/; its etc is the repository's.
[ -e "$run_dir/etc" ] || ln -s ../etc "$run_dir/etc"

standin_pids=()
stop_standins() {
  for pid in "${standin_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap stop_standins EXIT
trap 'exit 130' INT TERM

if [ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ] && [ ! -S /run/dbus/system_bus_socket ]; then
  rm -f "$run_dir/dbus.address"
  dbus-daemon --session --nofork --print-address=3 3>"$run_dir/dbus.address" >"$run_dir/dbus.log" 2>&1 &
  standin_pids+=("$!")
  for _ in $(seq 50); do
    [ -s "$run_dir/dbus.address" ] && break
    sleep 0.1
  done
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$run_dir/dbus.address")
  export DBUS_SYSTEM_BUS_ADDRESS
  echo "No system bus on this machine: a private one stands in ($DBUS_SYSTEM_BUS_ADDRESS)"
fi

nymea_port=$(conf_value nymea_tcpPort)
# The stand-in ends when its standard input closes; the coprocess pipe stays
# open as long as this script runs.
coproc NYMEA_STANDIN {
  exec python3 "$repo/tools/nymea-standin/nymea_standin.py" --port "$nymea_port" \
    --source "${NYMEA_SOURCE:-relais}" >"$run_dir/nymea-standin.log" 2>&1
}
standin_pids+=("$NYMEA_STANDIN_PID")
echo "Home-platform stand-in on 127.0.0.1:$nymea_port (log: run/nymea-standin.log)"

if [ "$(conf_value activate_extern_MQTT_CLSEEDI)" = true ] || [ "$(conf_value activate_extern_MQTT_MoreVale)" = true ]; then
  broker_conf=$(ls "$repo"/tools/MQTT_configs/*.conf 2>/dev/null | head -n 1 || true)
  if [ -n "$broker_conf" ]; then
    (cd "$repo/tools/MQTT_configs" && exec mosquitto -c "$broker_conf") >"$run_dir/mosquitto.log" 2>&1 &
  else
    mosquitto -p 1883 >"$run_dir/mosquitto.log" 2>&1 &
  fi
  standin_pids+=("$!")
  echo "MQTT broker started (log: run/mosquitto.log)"
fi

# Let the stand-ins open their ports before the daemon probes them.
for _ in $(seq 50); do
  grep -q '^listening' "$run_dir/nymea-standin.log" 2>/dev/null && break
  sleep 0.1
done

echo "Starting $daemon --debug in $run_dir (MMS port $(conf_value IEC61850_tcpPort))"
cd "$run_dir"
status=0
IEC_FS_ROOT=$run_dir "$daemon" --debug || status=$?
exit "$status"
