#!/usr/bin/env bash
# make-installer.sh BIN_DIR OUT_FILE x86_64|i686: builds the NSIS installer of the two programs in
# BIN_DIR. Both must be there: an installer without the downloader would leave an old one behind.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(cd "$1" && pwd)
out=$2
case $3 in
  x86_64) target=amd64-unicode ;;
  i686)   target=x86-unicode ;;
  *) echo "unknown architecture $3" >&2; exit 2 ;;
esac
defines=(-DBIN_DIR="$bin" -DOUT_FILE="$(realpath -m "$out")" -DTARGET=$target)
for program in WexaShare.exe WexaDownload.exe; do
  [ -f "$bin/$program" ] || { echo "make-installer: $bin/$program missing" >&2; exit 1; }
done
mkdir -p "$(dirname "$out")"
makensis -V2 -INPUTCHARSET UTF8 "${defines[@]}" installer/WexaShare.nsi
