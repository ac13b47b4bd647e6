#!/usr/bin/env bash
# Installs the dependencies (the daemon's and the tests'), builds with
# AddressSanitizer/UBSan and runs every test. IEC_JOBS sets the number of
# parallel build jobs and tests (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --tests
build=${BUILD_DIR:-build/test}
export IEC_JOBS=${IEC_JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIEC_SANITIZE=ON -DIEC_WERROR=ON
# While the build lists the tests of each program, their start-up reads an
# empty configuration (tests/CMakeLists.txt) instead of reporting a missing one.
IEC_FS_ROOT="$PWD/$build/discovery-root" cmake --build "$build" -j"$IEC_JOBS"
if [ -x tools/run-extra-builds.sh ]; then
  bash tools/run-extra-builds.sh
fi
cd "$build"
ctest --output-on-failure -j"$IEC_JOBS" --timeout 600
