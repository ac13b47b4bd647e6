#!/usr/bin/env bash
# ThreadSanitizer build of the schedule road test: a writer enabling and
# disabling a schedule against a re-evaluating thread and a file reader.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/tsan-schedules
if ! echo 'int main() { return 0; }' | c++ -fsanitize=thread -x c++ - -o /dev/null 2>/dev/null; then
  echo "tsan-schedules: no ThreadSanitizer runtime, step skipped"
  exit 0
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIEC_TSAN=ON >/dev/null
cmake --build "$build" --target schedule_road_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$build/tests/schedules/schedule_road_tests"
