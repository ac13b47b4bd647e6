#!/usr/bin/env bash
# ThreadSanitizer build (one build dir for every race test) and its runs:
# the schedule road (a writer enabling/disabling a schedule against a
# re-evaluating thread and a file reader) and the server road (concurrent
# write entry points and MMS operates), the D-Bus listener (two threads
# emitting and appending the CLS input log while a bus client reads), the
# two switched limit sources (relay, EEBUS and MMS writes at once), the
# MQTT interfaces (network thread against listener calls, destruction while
# connected; the MoreVale gateway's network and MGCP sender threads torn down
# while they run) and the home-platform connection (the balance thread's
# requests through the listener thread).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/tsan
if ! echo 'int main() { return 0; }' | c++ -fsanitize=thread -x c++ - -o /dev/null 2>/dev/null; then
  echo "tsan: no ThreadSanitizer runtime, step skipped"
  exit 0
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIEC_TSAN=ON >/dev/null
targets=()
for t in schedule_road_tests server_road_tsan_tests internal_dbus_race_tests limit_sources_tsan_tests \
         internal_mqtt_tests umeadow_tests server_mqtt_interfaces_tests \
         morevale_broker_tests morevale_unit_tests nymea_tests; do
  cmake --build "$build" --target help | grep -q "^$t:" && targets+=("$t")
done
[ ${#targets[@]} -gt 0 ] || { echo "tsan: no race test configured, step skipped"; exit 0; }
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
for t in "${targets[@]}"; do
  bin=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n 1)
  echo "== $t"
  "$bin" --gtest_brief=1
done
