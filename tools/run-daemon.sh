#!/usr/bin/env bash
# Installs the dependencies, builds the daemon and runs it in debug mode on the
# repository's etc/ configuration, with local stand-ins for the peers it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build/run -j"$(nproc)"
if [ ! -x build/run/server/iec-server ]; then
  echo "The daemon is not built yet: only the libraries exist so far."
  exit 0
fi
exec bash tools/local-default.sh build/run/server/iec-server
