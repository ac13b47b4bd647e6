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
# requests through the listener thread) and the JSON-RPC connector (a post cut short by stop() from another thread).
#
# The programs are those of tools/extra-builds/tsan-targets.txt (another list
# with TSAN_TARGETS=FILE). Every listed target is built and run: a missing
# one fails the step. Each program's output goes to build/tsan/<target>.log
# and is printed only when the program fails.
#
#   tsan.sh --check BUILD_DIR   only checks that every listed target is a
#                               target of BUILD_DIR (a dry-run build of them)
#
# IEC_JOBS sets the number of build jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/../.."
list=${TSAN_TARGETS:-tools/extra-builds/tsan-targets.txt}
mapfile -t targets < <(grep -vE '^[[:space:]]*(#|$)' "$list" | tr -d '[:blank:]')
[ ${#targets[@]} -gt 0 ] || { echo "tsan: no target listed in $list"; exit 1; }

if [ "${1:-}" = --check ]; then
  dir=${2:?tsan.sh --check needs a build dir}
  if ! out=$(cmake --build "$dir" --target "${targets[@]}" -- -n 2>&1); then
    grep -i "unknown target\|error" <<<"$out" | head -n 5
    echo "tsan: a target of $list is missing in $dir"
    exit 1
  fi
  echo "tsan: all ${#targets[@]} targets of $list are targets of $dir"
  exit 0
fi

build=build/tsan
if ! echo 'int main() { return 0; }' | c++ -fsanitize=thread -x c++ - -o /dev/null 2>/dev/null; then
  echo "tsan: no ThreadSanitizer runtime, step skipped"
  exit 0
fi
jobs=${IEC_JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIEC_TSAN=ON >/dev/null
# While the build lists the tests of each program, their start-up reads an
# empty configuration (tests/CMakeLists.txt) instead of reporting a missing one.
IEC_FS_ROOT="$PWD/$build/discovery-root" cmake --build "$build" -j"$jobs" --target "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
failed=0
for t in "${targets[@]}"; do
  bin=$(find "$build/tests" -type f -name "$t" -perm -u+x | head -n 1)
  log=$build/$t.log
  if [ -z "$bin" ]; then
    echo "tsan: $t FAILED: built, but no program $t below $build/tests"
    failed=1
    continue
  fi
  status=0
  "$bin" --gtest_brief=1 >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    echo "tsan: $t passed: $(sed -n 's/^\[  PASSED  \] //p' "$log" | tail -n 1) (log: $log)"
  else
    echo "tsan: $t FAILED (exit code $status); its output ($log):"
    cat "$log"
    failed=1
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "tsan: result: ${#targets[@]} programs, no race"
