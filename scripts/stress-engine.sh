#!/usr/bin/env bash
# stress-engine.sh [RUNS]: runs the engine stress test RUNS times (default 20) in a row under
# Wine; stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
scripts/build.sh x86_64 >/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/wexa-wine.XXXXXX)}
[ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
for i in $(seq 1 "$runs"); do
  if ! out=$(/usr/lib/wine/wine64 build/x86_64/bin/engine_stress_tests.exe -s 2>&1); then
    echo "$out" | tail -40
    echo "run $i of $runs FAILED"
    exit 1
  fi
  echo "run $i: $(grep -o 'objects [0-9]*, handled [0-9]*, reads [0-9]*' <<<"$out")"
done
echo "all $runs runs passed"
