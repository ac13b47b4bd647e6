#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer/UBSan and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
build=${BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DIEC_SANITIZE=ON -DIEC_WERROR=ON
cmake --build "$build" -j"$(nproc)"
if [ -x tools/run-extra-builds.sh ]; then
  bash tools/run-extra-builds.sh
fi
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
