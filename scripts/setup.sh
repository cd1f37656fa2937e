#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the run script need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build make
  mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686
  wine64 wine xvfb xauth imagemagick xdotool
  libgnutls30
  clang llvm libclang-rt-14-dev
  doctest-dev
  python3 openssl nsis curl nginx caddy wrk iproute2 procps chromium aria2 axel
  miniupnpd-nftables miniupnpc nftables tcpdump
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  # Wait for another package manager run instead of failing on its lock.
  lock=(-o DPkg::Lock::Timeout=600)
  $SUDO apt-get "${lock[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
