#!/usr/bin/env bash
# Installs what is missing, builds the x86_64 programs and starts the share program under
# Wine, on a virtual display when there is none (view it with any VNC-less X tool, or
# take screenshots with `import -display :N -window root shot.png`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh x86_64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$HOME/.wexa-share-wine}
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:77
  Xvfb :77 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  trap 'kill $!' EXIT
  echo "No display: running on virtual display $DISPLAY"
fi
/usr/lib/wine/wine64 build/x86_64/bin/WexaShare.exe
