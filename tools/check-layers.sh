#!/usr/bin/env bash
# The include rules of the layers. Fails (exit 1) with one line per breach.
#   iec61850/   includes nothing of the application;
#   the application includes only the library's public headers;
#   foundation/ and model/ include nothing above them;
#   schedules/  includes nothing of server/ or the interfaces;
#   server/     includes nothing of the interfaces or of the daemon;
#   internal/ and external/ see the server core only through its seam, and
#               neither includes the other;
#   jsonrpc/    (the JSON-RPC client) includes nothing of the application;
#   daemon/     (the composition root) may include every layer;
#   no production folder includes tests/, and every project header is
#   included with quotes (an angle-bracket include would search the system
#   paths first and hide a header from these rules).
# The production targets' include roots (iec_include_root in CMakeLists.txt)
# make most breaches a compile error as well; the tests and benches see the
# whole tree, so this check stays the fence for what the roots do not cover.
set -uo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root" || exit 1
status=0
public='"iec61850/(iec61850_server|iec61850_model|mms_value|iec61850_log|durable_file|unique_fd)\.h"'
project='(iec61850|foundation|model|schedules|server|jsonrpc|internal|external|daemon|tests|bench|tools)/'

breach() {  # folder, forbidden include pattern, allowed pattern (may be empty), reason
  local dir=$1 bad=$2 ok=$3 why=$4 hits
  [ -d "$dir" ] || return 0
  hits=$(grep -rnE --include='*.cpp' --include='*.h' "^[[:space:]]*#[[:space:]]*include[[:space:]]*$bad" "$dir" |
         { if [ -n "$ok" ]; then grep -vE "$ok"; else cat; fi; })
  if [ -n "$hits" ]; then
    while IFS= read -r line; do echo "layers: $line: $why"; done <<<"$hits"
    status=1
  fi
}

breach iec61850 '"(foundation|model|server|schedules|jsonrpc|internal|external|daemon|tests)/' '' \
  "the library knows nothing of the application"
breach jsonrpc '"(iec61850|foundation|model|server|schedules|internal|external|daemon|tests)/' '' \
  "the JSON-RPC client knows nothing of the daemon"
for dir in foundation model schedules server internal external daemon tools/mms-client; do
  breach "$dir" '"iec61850/' "$public" "only the library's public headers"
done
for dir in foundation model schedules server internal external daemon; do
  breach "$dir" '"tests/' '' "production code knows nothing of the tests"
done
breach foundation '"(server|schedules|internal|external|daemon)/' '' "the foundation is below every other layer"
breach model '"(server|schedules|internal|external|daemon)/' '' "the model is below the core"
breach schedules '"(server|internal|external|daemon)/' '' "schedule management is below the server core"
breach server '"(internal|external|daemon)/' '' "the core knows the interfaces only by name (daemon/ creates them)"
for dir in internal external; do
  breach "$dir" '"(server|schedules)/' '"server/IecCore\.h"' "interfaces use the core's seam (server/IecCore.h) only"
  breach "$dir" '"daemon/' '' "the interfaces are below the composition root"
done
breach internal '"external/' '' "an interface reaches another one through the core's seam"
breach external '"internal/' '' "an interface reaches another one through the core's seam"
for dir in iec61850 foundation model schedules server jsonrpc internal external daemon tests bench tools; do
  breach "$dir" "<$project" '' "project headers are included with quotes"
done
exit $status
