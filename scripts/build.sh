#!/usr/bin/env bash
# build.sh [x86_64|i686|native]...: configures (once) and builds the named trees under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
# WEXA_BUILD_ROOT lets several checkouts or workers build side by side.
b=${WEXA_BUILD_ROOT:-build}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(x86_64 i686 native)
for t in "${trees[@]}"; do
  case $t in
    x86_64) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Debug) ;;
    # The shipped 32-bit build: optimised, warnings as errors, compile-only here.
    i686)   args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DWEXA_TESTS=OFF) ;;
    native) args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug) ;;
    *) echo "unknown tree $t" >&2; exit 2 ;;
  esac
  [ -f $b/$t/build.ninja ] || cmake -S . -B $b/$t -G Ninja "${args[@]}" >/dev/null
  cmake --build $b/$t
  # The installer of both programs: the i686 one ships, the x86_64 one is what tests can run.
  case $t in
    x86_64|i686)
      if command -v makensis >/dev/null; then
        scripts/make-installer.sh $b/$t/bin $b/$t/installer/WexaShare-121.exe $t
      else
        echo "build: makensis missing (scripts/setup.sh installs it); no installer for $t" >&2
      fi ;;
  esac
done
