#!/usr/bin/env bash
# The include rules of the layers. Fails (exit 1) with one line per breach.
#   iec61850/   includes nothing of the application;
#   the application includes only the library's public headers;
#   foundation/ and model/ include nothing above them;
#   schedules/  includes nothing of server/ or the interfaces;
#   internal/ and external/ see the server core only through its seam;
#   jsonrpc/    (the JSON-RPC client) includes nothing of the application.
set -uo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root" || exit 1
status=0
public='"iec61850/(iec61850_server|iec61850_model|mms_value|iec61850_log|durable_file|unique_fd)\.h"'

breach() {  # folder, forbidden include pattern, allowed pattern (may be empty), reason
  local dir=$1 bad=$2 ok=$3 why=$4 hits
  [ -d "$dir" ] || return 0
  hits=$(grep -rnE --include='*.cpp' --include='*.h' "^[[:space:]]*#[[:space:]]*include[[:space:]]+$bad" "$dir" |
         { if [ -n "$ok" ]; then grep -vE "$ok"; else cat; fi; })
  if [ -n "$hits" ]; then
    while IFS= read -r line; do echo "layers: $line: $why"; done <<<"$hits"
    status=1
  fi
}

breach iec61850 '"(foundation|model|server|schedules|internal|external)/' '' "the library knows nothing of the application"
breach jsonrpc '"(iec61850|foundation|model|server|schedules|internal|external)/' '' "the JSON-RPC client knows nothing of the daemon"
for dir in foundation model schedules server internal external tools/mms-client; do
  breach "$dir" '"iec61850/' "$public" "only the library's public headers"
done
breach foundation '"(server|schedules|internal|external)/' '' "the foundation is below every other layer"
breach model '"(server|schedules|internal|external)/' '' "the model is below the core"
breach schedules '"(server|internal|external)/' '' "schedule management is below the server core"
for dir in internal external; do
  breach "$dir" '"(server|schedules)/' '"server/IecCore\.h"' "interfaces use the core's seam (server/IecCore.h) only"
done
breach server '"(internal|external)/' 'server/ProductionInterfaces\.cpp:' "only ProductionInterfaces.cpp knows the interface classes"
exit $status
