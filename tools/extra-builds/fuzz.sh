#!/usr/bin/env bash
# Builds the MMS PDU fuzzer with clang (libFuzzer, AddressSanitizer, UBSan)
# in build/fuzz and runs it for a bounded time (FUZZ_SECONDS, default 60) on
# the seeds in tests/mms/fuzz-seeds. Skipped when clang is missing.
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
cmake --build "$build" --target mms_pdu_fuzzer
corpus="$build/mms-corpus"
mkdir -p "$corpus"
"$build/tests/mms/mms_pdu_fuzzer" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 "$corpus" tests/mms/fuzz-seeds
