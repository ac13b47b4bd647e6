#!/usr/bin/env bash
# Builds the libFuzzer targets listed in fuzz-targets.txt with clang
# (libFuzzer, AddressSanitizer, UBSan) in build/fuzz and runs each for a
# bounded time on its seeds. The whole step takes about FUZZ_BUDGET seconds
# (default 120), shared by the targets. Each fuzzer's own output goes to
# build/fuzz/<target>.log; only a summary is printed, and on a crash the end
# of that log. IEC_JOBS sets the number of build jobs (default: the number
# of cores).
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
  echo "fuzz: clang not installed (tools/install-deps.sh --tests installs it)"
  exit 1
fi
build=build/fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# Third-party findings that are not ours to fix (each explained in the list).
flags="$flags -fsanitize-ignorelist=$PWD/tools/extra-builds/fuzz-ignorelist.txt"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIEC_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null

mapfile -t rows < <(grep -vE '^[[:space:]]*(#|$)' tools/extra-builds/fuzz-targets.txt)
targets=()
for row in "${rows[@]}"; do
  read -r name _ <<<"$row"
  targets+=("$name")
done
cmake --build "$build" -j"${IEC_JOBS:-$(nproc)}" --target "${targets[@]}" >"$build/fuzzers-build.log" 2>&1 || {
  tail -n 40 "$build/fuzzers-build.log"
  echo "fuzz: building the fuzzers failed (log: $build/fuzzers-build.log)"
  exit 1
}

budget="${FUZZ_BUDGET:-120}"
each="${FUZZ_SECONDS_EACH:-$(( budget / ${#rows[@]} ))}"
[ "$each" -ge 5 ] || each=5
failed=0
for row in "${rows[@]}"; do
  read -r name seeds maxlen <<<"$row"
  bin=$(find "$build" -type f -name "$name" -perm -u+x | head -n 1)
  # Absolute paths: a target may change its working directory.
  corpus="$PWD/$build/corpus/$name"
  artifacts="$PWD/$build/artifacts/$name"
  seeds="$PWD/$seeds"
  log="$build/$name.log"
  mkdir -p "$corpus" "$artifacts"
  status=0
  "$bin" -max_total_time="$each" -max_len="${maxlen:-4096}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
  echo "fuzz: $name ${each} s: runs $(stat number_of_executed_units), $(stat average_exec_per_sec) per second," \
    "corpus $(find "$corpus" -type f | wc -l) inputs, peak RSS $(stat peak_rss_mb) MB"
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $name FAILED (exit code $status); end of $log:"
    tail -n 60 "$log"
    ls "$artifacts" 2>/dev/null | sed "s/^/fuzz: $name artifact /"
    failed=1
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "fuzz: result: no crash, leak or timeout"
