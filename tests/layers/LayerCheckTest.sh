#!/usr/bin/env bash
# The layer fence on a copy of the tree: tools/check-layers.sh passes on the
# copy as it is and refuses each forbidden include planted in it, one at a
# time; with --compile, a planted include of a folder the target may not see
# also fails to compile, because each production target's include path holds
# only its own folder and those of what it links.
#   LayerCheckTest.sh SOURCE_DIR [--compile]
set -uo pipefail
src=${1:?LayerCheckTest.sh needs the source dir}
compile=${2:-}
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
failures=0

# The tracked and new files of the working tree, without build output.
(cd "$src" && git ls-files -z --cached --others --exclude-standard -- . ':!build' |
   xargs -0 tar cf - --ignore-failed-read 2>/dev/null) | tar xf - -C "$copy" || exit 1

check() { bash "$copy/tools/check-layers.sh" "$copy"; }

if ! out=$(check); then
  echo "FAIL: the unplanted copy is refused:"; echo "$out"; exit 1
fi

# file | planted line | the check's reason
rows=(
  'iec61850/core/log.cpp|#include "foundation/Logging.h"|the library knows nothing of the application'
  'iec61850/core/log.cpp|#include "tests/support/TestSupport.h"|the library knows nothing of the application'
  'schedules/RoadLock.cpp|#include <foundation/Logging.h>|project headers are included with quotes'
  'tests/support/TestSupport.cpp|#include <server/IecCore.h>|project headers are included with quotes'
  'internal/ValueReaders.cpp|#include "external/ReplyTemplate.h"|an interface reaches another one'
  'external/MgcpSender.cpp|#include "internal/InternalInterfaceNymea.h"|an interface reaches another one'
  'internal/ValueReaders.cpp|#include "server/IecServer.h"|interfaces use the core'"'"'s seam'
  'external/MgcpSender.cpp|#include "daemon/main.cpp"|below the composition root'
  'server/SlotBook.cpp|#include "internal/InternalInterfaceNymea.h"|the core knows the interfaces only by name'
  'server/SlotBook.cpp|#include "tests/support/TestSupport.h"|production code knows nothing of the tests'
  'foundation/Clock.cpp|#include "internal/InternalInterfaceNymea.h"|the foundation is below every other layer'
  'jsonrpc/JsonRpcClient.cpp|#include "external/ReplyTemplate.h"|the JSON-RPC client knows nothing of the daemon'
)
for row in "${rows[@]}"; do
  IFS='|' read -r file line reason <<<"$row"
  cp "$copy/$file" "$copy/$file.orig"
  printf '%s\n' "$line" >>"$copy/$file"
  if out=$(check); then
    echo "FAIL: $file with '$line' passes the check"; failures=$((failures + 1))
  elif ! grep -qF "$file:" <<<"$out" || ! grep -qF "$reason" <<<"$out"; then
    echo "FAIL: $file with '$line': expected '$reason', got:"; echo "$out"; failures=$((failures + 1))
  fi
  mv "$copy/$file.orig" "$copy/$file"
done

if [ "$compile" = --compile ]; then
  # One object per row: the planted header is not on the object's include path.
  # file | planted header | object target
  compiles=(
    'iec61850/core/log.cpp|foundation/Logging.h|iec61850/CMakeFiles/iec61850_core.dir/core/log.cpp.o'
    'schedules/RoadLock.cpp|server/IecServer.h|schedules/CMakeFiles/iec_schedules.dir/RoadLock.cpp.o'
    'internal/ValueReaders.cpp|server/IecServer.h|internal/CMakeFiles/iec_internal.dir/ValueReaders.cpp.o'
    'external/MgcpSender.cpp|internal/InternalInterfaceNymea.h|external/CMakeFiles/iec_external_morevale.dir/MgcpSender.cpp.o'
  )
  for row in "${compiles[@]}"; do
    IFS='|' read -r file header object <<<"$row"
    printf '#include "%s"\n' "$header" >>"$copy/$file"
  done
  if ! cmake -S "$copy" -B "$copy/build" -G Ninja -DBUILD_TESTING=OFF >"$copy/configure.log" 2>&1; then
    echo "FAIL: configuring the copy:"; cat "$copy/configure.log"; exit 1
  fi
  for row in "${compiles[@]}"; do
    IFS='|' read -r file header object <<<"$row"
    if out=$(cmake --build "$copy/build" --target "$object" 2>&1); then
      echo "FAIL: $file including $header compiles"; failures=$((failures + 1))
    elif ! grep -qF "$header: No such file" <<<"$out"; then
      echo "FAIL: $file including $header failed for another reason:"; echo "$out"; failures=$((failures + 1))
    fi
  done
fi

[ "$failures" -eq 0 ] && echo "layer check: every planted include refused"
exit $((failures > 0))
