#!/usr/bin/env bash
# Runs the extra builds of the test command (ThreadSanitizer, fuzzing): every
# tools/extra-builds/*.sh, each guarded so that a missing tool skips its step.
set -euo pipefail
cd "$(dirname "$0")/.."
for step in tools/extra-builds/*.sh; do
  [ -e "$step" ] || continue
  echo "== extra build: $step"
  bash "$step"
done
