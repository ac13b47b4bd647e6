#!/usr/bin/env bash
# Builds the MMS PDU fuzzer with clang (libFuzzer, AddressSanitizer, UBSan)
# in build/fuzz and runs it for a bounded time (FUZZ_SECONDS, default 60) on
# the seeds in tests/mms/fuzz-seeds. The fuzzer's own output goes to
# build/fuzz/mms_pdu_fuzzer.log; only a summary is printed, and on a crash
# the end of that log. Skipped when clang is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
  echo "fuzz: clang not installed, step skipped"
  exit 0
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -fsanitize=fuzzer -x c++ - -o /dev/null 2>/dev/null; then
  echo "fuzz: clang has no libFuzzer runtime, step skipped"
  exit 0
fi
build=build/fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIEC_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" --target mms_pdu_fuzzer >"$build/mms_pdu_fuzzer-build.log" 2>&1 || {
  tail -n 40 "$build/mms_pdu_fuzzer-build.log"
  echo "fuzz: building the fuzzer failed (log: $build/mms_pdu_fuzzer-build.log)"
  exit 1
}
corpus="$build/mms-corpus"
artifacts="$build/artifacts"
log="$build/mms_pdu_fuzzer.log"
mkdir -p "$corpus" "$artifacts"
seconds="${FUZZ_SECONDS:-60}"
echo "fuzz: running mms_pdu_fuzzer for ${seconds} s (log: $log)"
status=0
"$build/tests/mms/mms_pdu_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" tests/mms/fuzz-seeds >"$log" 2>&1 || status=$?

fuzz_stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
runs="$(fuzz_stat number_of_executed_units)"
echo "fuzz: runs ${runs:-?}, $(fuzz_stat average_exec_per_sec) per second," \
  "corpus $(find "$corpus" -type f | wc -l) inputs, peak RSS $(fuzz_stat peak_rss_mb) MB"
if [ "$status" -ne 0 ]; then
  echo "fuzz: FAILED (exit code $status); end of the log:"
  tail -n 60 "$log"
  ls "$artifacts" 2>/dev/null | sed 's/^/fuzz: artifact /'
  exit 1
fi
echo "fuzz: result: no crash, leak or timeout"
