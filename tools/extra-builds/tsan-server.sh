#!/usr/bin/env bash
# Builds the server road test with ThreadSanitizer in build/tsan-server and runs it.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  echo "cmake/ninja missing: ThreadSanitizer road test skipped"
  exit 0
fi
cmake -S . -B build/tsan-server -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIEC_TSAN=ON >/dev/null
if ! cmake --build build/tsan-server --target help | grep -q '^server_road_tsan_tests:'; then
  echo "server_road_tsan_tests is not configured in this tree: skipped"
  exit 0
fi
cmake --build build/tsan-server --target server_road_tsan_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan-server/tests/server/server_road_tsan_tests
