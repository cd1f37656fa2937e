#!/usr/bin/env bash
# Runs one Windows program under wine64 for ctest. The test script creates one fresh
# WINEPREFIX per test run and exports it; run alone, this makes a private one.
set -eu
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$(mktemp -d /tmp/wexa-wine.XXXXXX)
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
fi
exec /usr/lib/wine/wine64 "$@"
