#!/usr/bin/env bash
# Installs the dependencies, builds the daemon (and build/run/tools/mms-client/mms-client)
# and runs it in debug mode on the repository's etc/ configuration, with local
# stand-ins for the peers it needs (tools/local-default.sh). Ctrl-C stops it,
# and so does a TERM signal (timeout, a supervisor). IEC_JOBS sets the number
# of build jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build/run -j"${IEC_JOBS:-$(nproc)}"
exec bash tools/local-default.sh build/run/daemon/iec-server
