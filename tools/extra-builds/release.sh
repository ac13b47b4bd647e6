#!/usr/bin/env bash
# Release build (-DCMAKE_BUILD_TYPE=Release: GCC at -O3) of every target, the
# tests and benches included, with warnings as errors: a warning that only the
# optimiser finds (-Wrestrict, -Warray-bounds, -Wmaybe-uninitialized, ...)
# fails this step, where the test command's Debug build would not see it.
# Nothing is run. The build goes to build/release-check; its output goes to
# build/release-check/build.log and is printed (its diagnostics) only when the
# build fails.
#
# IEC_JOBS sets the number of build jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/release-check
jobs=${IEC_JOBS:-$(nproc)}
# The tests are listed when ctest runs (PRE_TEST), not by running each program
# after its link: this build is not tested, only compiled.
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIEC_WERROR=ON -DBUILD_TESTING=ON \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log"
  echo "release: configuring $build failed"
  exit 1
}

# Every compilation of the build must carry -Werror (and -O3): one without
# would let its warnings through this step.
commands=$(grep -c '"command":' "$build/compile_commands.json" || true)
strict=$(grep '"command":' "$build/compile_commands.json" | grep -- ' -O3 ' | grep -c -- ' -Werror ' || true)
if [ "$commands" -eq 0 ] || [ "$strict" -ne "$commands" ]; then
  echo "release: only $strict of the $commands compilations of $build carry -O3 and -Werror"
  exit 1
fi

log=$build/build.log
start=$SECONDS
# -k 0: every failing compilation is reported, not only the first one.
if ! cmake --build "$build" -j"$jobs" -- -k 0 >"$log" 2>&1; then
  # The failing objects, the diagnostics and, for one found in an inlined
  # library function, the line of ours it was inlined into.
  grep -E "^FAILED: |error: |warning: |inlined from .* at $PWD/[^ ]+:\$" "$log" |
    sed -E "s|^ *inlined from .* at $PWD/([^ ]+):\$|  from \1|; s/^/release: /" | head -n 200
  echo "release: the Release build failed, on a warning or an error; the whole output: $log"
  exit 1
fi
echo "release: $commands compilations of every target at -O3 without a warning ($((SECONDS - start)) s, log: $log)"
