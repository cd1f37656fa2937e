#!/usr/bin/env bash
# run-e2e.sh MODULE: runs one end-to-end test module in a Wine prefix of its own, so that
# modules running side by side never share a registry key or kill each other's processes.
set -u
module=$1
base=${WINEPREFIX:-/tmp/wexa-wine}
export WINEPREFIX=$(mktemp -d "${base%/}-$module.XXXXXX")
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null
  /usr/lib/wine/wineserver -w 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
python3 -W ignore::ResourceWarning -m unittest -v "$module"
