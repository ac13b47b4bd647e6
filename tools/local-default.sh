#!/usr/bin/env bash
# Runs the built daemon (path in $1) in debug mode on this repository's etc/
# configuration, from the working directory run/, which it creates (there
# "../etc/iec/config/" is the repository's etc/iec/config, and every absolute
# daemon path, such as /etc/iec/config/IECServer.conf, is read below run/
# through a link run/etc -> ../etc), with the local stand-ins it needs:
#   - the home-platform stand-in on the configured nymea port, answering the
#     power-limit source "relais" (override with NYMEA_SOURCE=...) and showing
#     an EEBUS control box; commands appended to run/nymea-standin.in reach it
#     while the daemon runs (for example "event eebus", "state
#     consumptionLimitationState limited", "event relais");
#   - a GPIO chip stand-in for the relay contacts: the files run/gpio/12..15
#     hold the line values ("0" or "1");
#   - a mosquitto broker from tools/MQTT_configs/ when an MQTT gateway is active;
#   - for the MoreVale gateway, a broker with a TLS listener that requires
#     client certificates (CA and certificates made with openssl on first run);
#   - a private dbus-daemon as the system bus when the machine has none, or
#     when the D-Bus service is active (a session-type bus lets the daemon own
#     its name without a policy file in the machine's bus configuration);
#   - the energy-management stand-in on the port of JSONRPC.conf when the
#     JSON-RPC listener is active.
# The stand-ins are stopped when the daemon ends; INT and TERM stop the
# daemon and the stand-ins.
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

if [ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ] &&
   { [ ! -S /run/dbus/system_bus_socket ] || [ "$(conf_value activate_intern_DBUS)" = true ]; }; then
  rm -f "$run_dir/dbus.address"
  dbus-daemon --session --nofork --print-address=3 3>"$run_dir/dbus.address" >"$run_dir/dbus.log" 2>&1 &
  standin_pids+=("$!")
  for _ in $(seq 50); do
    [ -s "$run_dir/dbus.address" ] && break
    sleep 0.1
  done
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$run_dir/dbus.address")
  export DBUS_SYSTEM_BUS_ADDRESS
  echo "A private system bus stands in ($DBUS_SYSTEM_BUS_ADDRESS); watch it with:"
  echo "  dbus-monitor --address $DBUS_SYSTEM_BUS_ADDRESS \"sender='de.tavelmarck.rurodi.iec61850'\""
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
# Lines appended to run/nymea-standin.in are the stand-in's commands.
exec {standin_in}>&"${NYMEA_STANDIN[1]}"
: >"$run_dir/nymea-standin.in"
tail -n 0 -F "$run_dir/nymea-standin.in" 2>/dev/null >&"$standin_in" &
standin_pids+=("$!")
echo "Commands for it: echo 'event eebus' >> run/nymea-standin.in (see tools/nymea-standin/README.md)"

# The relay contacts: one file per GPIO line, "0" at first.
mkdir -p "$run_dir/gpio"
for line in 12 13 14 15; do
  [ -e "$run_dir/gpio/$line" ] || echo 0 >"$run_dir/gpio/$line"
done
export IEC_GPIO_STANDIN_DIR=$run_dir/gpio
echo "GPIO stand-in: run/gpio/12..15 (echo 1 > run/gpio/12 dims consumption)"

if [ "$(conf_value activate_extern_MQTT_CLSEEDI)" = true ]; then
  broker_conf=$(ls "$repo"/tools/MQTT_configs/*.conf 2>/dev/null | head -n 1 || true)
  if [ -n "$broker_conf" ]; then
    (cd "$repo/tools/MQTT_configs" && exec mosquitto -c "$broker_conf") >"$run_dir/mosquitto.log" 2>&1 &
  else
    mosquitto -p 1883 >"$run_dir/mosquitto.log" 2>&1 &
  fi
  standin_pids+=("$!")
  echo "MQTT broker started (log: run/mosquitto.log)"
fi

if [ "$(conf_value activate_intern_JSONRPC)" = true ]; then
  jsonrpc_conf=$repo/etc/iec/config/JSONRPC.conf
  ems_port=$(sed -n 's/^[ \t]*jsonrpcPort[ \t]*=[ \t]*//p' "$jsonrpc_conf" 2>/dev/null | sed 's/[ \t]*$//' | tail -n 1)
  python3 "$repo/tools/ems-standin/ems_standin.py" --port "${ems_port:-5000}" >"$run_dir/ems-standin.log" 2>&1 &
  standin_pids+=("$!")
  echo "Energy-management stand-in on 127.0.0.1:${ems_port:-5000} (log: run/ems-standin.log)"
fi

# The MoreVale gateway's broker: TLS with client certificates on the port of
# etc/iec/config/MQTT_morevale_config.json (debug mode always uses TLS). The
# gateway's files go where it looks for them: etc/mosquitto/certs/ (below
# run/ through its etc link); the broker's and the platform's stay in run/.
if [ "$(conf_value activate_extern_MQTT_MoreVale)" = true ]; then
  mv_json=$repo/etc/iec/config/MQTT_morevale_config.json
  mv_port=$(python3 -c 'import json,sys; print(int(json.load(open(sys.argv[1]))["mqttPort"]))' "$mv_json")
  mv_gcp=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["gcp"])' "$mv_json")
  mv_tls=$run_dir/morevale-tls
  mv_certs=$repo/etc/mosquitto/certs
  # new_cert NAME CN EXTENSIONS: a key and a certificate of the local CA in run/morevale-tls.
  new_cert() {
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$mv_tls/$1.key" \
      -out "$mv_tls/$1.csr" -subj "/CN=$2" 2>/dev/null
    printf '%s\n' "$3" >"$mv_tls/$1.ext"
    openssl x509 -req -in "$mv_tls/$1.csr" -CA "$mv_tls/ca.crt" -CAkey "$mv_tls/ca.key" -CAcreateserial \
      -days 3650 -out "$mv_tls/$1.crt" -extfile "$mv_tls/$1.ext" 2>/dev/null
  }
  if [ ! -s "$mv_certs/$mv_gcp/$mv_gcp.key" ] || [ ! -s "$mv_tls/platform.key" ]; then
    echo "Making the MoreVale TLS files (CA, broker, gateway and platform certificates) with openssl"
    mkdir -p "$mv_tls" "$mv_certs/$mv_gcp"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$mv_tls/ca.key" \
      -out "$mv_tls/ca.crt" -days 3650 -subj "/CN=Local MoreVale CA" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    new_cert broker localhost "subjectAltName=DNS:localhost,IP:127.0.0.1"
    new_cert gateway "$mv_gcp" "extendedKeyUsage=clientAuth"
    new_cert platform platform "extendedKeyUsage=clientAuth"
    cp "$mv_tls/ca.crt" "$mv_certs/ca_list.crt"
    cp "$mv_tls/gateway.crt" "$mv_certs/$mv_gcp/$mv_gcp.pem"
    cp "$mv_tls/gateway.key" "$mv_certs/$mv_gcp/$mv_gcp.key"
  fi
  {
    echo "user $(id -un)"
    echo "per_listener_settings false"
    echo "allow_anonymous true"
    echo "listener $mv_port 127.0.0.1"
    echo "cafile $mv_tls/ca.crt"
    echo "certfile $mv_tls/broker.crt"
    echo "keyfile $mv_tls/broker.key"
    echo "require_certificate true"
  } >"$mv_tls/mosquitto.conf"
  mosquitto -c "$mv_tls/mosquitto.conf" >"$run_dir/morevale-broker.log" 2>&1 &
  standin_pids+=("$!")
  echo "MoreVale broker with mutual TLS on 127.0.0.1:$mv_port (log: run/morevale-broker.log);"
  echo "  the platform's side: mosquitto_sub/mosquitto_pub -h localhost -p $mv_port --cafile run/morevale-tls/ca.crt" \
    "--cert run/morevale-tls/platform.crt --key run/morevale-tls/platform.key"
fi

# Let the stand-ins open their ports before the daemon probes them.
for _ in $(seq 50); do
  grep -q '^listening' "$run_dir/nymea-standin.log" 2>/dev/null && break
  sleep 0.1
done

# Once the MMS port answers, how to reach every road from a second terminal
# (also kept in run/roads.txt).
print_roads() {
  local mms_port host bus_address actpow
  mms_port=$(conf_value IEC61850_tcpPort)
  host=$(hostname)
  bus_address=${DBUS_SYSTEM_BUS_ADDRESS:-unix:path=/run/dbus/system_bus_socket}
  actpow=/de/tavelmarck/rurodi/iec61850/cls/actpow_ggio001/1
  for _ in $(seq 600); do
    (exec 3<>"/dev/tcp/127.0.0.1/$mms_port") 2>/dev/null && break
    sleep 0.2
  done
  tee "$run_dir/roads.txt" <<EOF

=== The daemon is up. Every road, from a second terminal (repository root) ===
MMS on 127.0.0.1:$mms_port (domains FNN_STEUERBOXSTB, FNN_STEUERBOXCLS1..4):
  build/run/tools/mms-client/mms-client -p $mms_port read CLS1 'ActPow_GGIO001\$MX\$AnOut1\$mxVal\$f'
  build/run/tools/mms-client/mms-client -p $mms_port operate CLS1 EmpWCmd_FSCH030001 DsaReq true
CLSEEDI MQTT on 127.0.0.1:18830: commands to clseedi/toBox/$host, replies on clseedi/fromBox/$host
  mosquitto_sub -h 127.0.0.1 -p 18830 -v -t 'clseedi/fromBox/$host/#'
  mosquitto_pub -h 127.0.0.1 -p 18830 -t 'clseedi/toBox/$host' -m '{"type":"de.ostrel-linkage.clseedi.control","source":"cli","id":"lpc-1","specversion":"1.0","data":{"protocol":"0.4.0","limits":{"power":{"active":{"consumption":{"value":4200,"active":true,"duration":3600}}}}}}'
  mosquitto_pub -h 127.0.0.1 -p 18830 -t 'clseedi/toBox/$host' -m '{"type":"de.ostrel-linkage.clseedi.read","source":"cli","id":"read-1","specversion":"1.0","data":{"protocol":"0.4.0","parameters":["limits"]}}'
D-Bus service de.tavelmarck.rurodi.iec61850 on $bus_address:
  busctl --address='$bus_address' get-property de.tavelmarck.rurodi.iec61850 $actpow de.tavelmarck.rurodi.iec61850.cls.actpow_ggio001 AnOut_mxVal_f
  dbus-monitor --address '$bus_address' "sender='de.tavelmarck.rurodi.iec61850'"
Home platform (power-limit source, EEBUS control box):
  echo 'state consumptionLimitationState limited' >> run/nymea-standin.in; echo 'event eebus' >> run/nymea-standin.in
Relay contacts (GPIO lines 12..15): echo 1 > run/gpio/12; echo 'event relais' >> run/nymea-standin.in
Logs: daemon console here, syslog ident IecServerLog; run/nymea-standin.log, run/mosquitto.log,
  run/dbus.log, run/ems-standin.log (the "updateEnergyData" calls), run/data/cls-logs/cls-input.log
EOF
  if [ "$(conf_value activate_extern_MQTT_MoreVale)" = true ]; then
    local tls prefix now until
    tls="-h localhost -p $mv_port --cafile run/morevale-tls/ca.crt --cert run/morevale-tls/platform.crt --key run/morevale-tls/platform.key"
    prefix=$(python3 -c 'import json,sys; c=json.load(open(sys.argv[1])); print("dso/%s/gcp/%s/lpc/%s" % (c["dso"], c["gcp"], c["version"]))' "$mv_json")
    tee -a "$run_dir/roads.txt" <<EOF
MoreVale MQTT (mutual TLS) on 127.0.0.1:$mv_port: limits to $prefix/set, ACKs on $prefix/ack
  mosquitto_sub $tls -v -t '$prefix/#'
  mosquitto_pub $tls -t '$prefix/set' -m "{\"creationDateTime\":\"\$(date -u +%FT%TZ)\",\"transactionId\":\"t-1\",\"initialTransactionId\":\"t\",\"gridConnectionPoint\":\"$mv_gcp\",\"maximumPowerValue\":4.2,\"unit\":\"kW\",\"executionTimeFrom\":\"\$(date -u +%FT%TZ)\",\"executionTimeUntil\":\"\$(date -u -d '+1 hour' +%FT%TZ)\"}"
  (log: run/morevale-broker.log)
EOF
  fi
}
print_roads &
standin_pids+=("$!")

echo "Starting $daemon --debug in $run_dir (MMS port $(conf_value IEC61850_tcpPort))"
cd "$run_dir"
# The daemon runs in the background so that a signal reaches this script at
# once (bash runs a trap only after a foreground child has ended): INT (Ctrl-C)
# and TERM (timeout, a supervisor) both stop the daemon, then the stand-ins.
IEC_FS_ROOT=$run_dir "$daemon" --debug &
daemon_pid=$!
stop_daemon() {
  kill -TERM "$daemon_pid" 2>/dev/null || true
  wait "$daemon_pid" 2>/dev/null || true
  exit "$1"
}
trap 'stop_daemon 130' INT
trap 'stop_daemon 143' TERM
status=0
wait "$daemon_pid" || status=$?
exit "$status"
