#!/usr/bin/env bash
# run-fuzzer.sh FUZZER SEED_DIR SECONDS: fuzzes from a scratch copy of the seed corpus;
# any crash or sanitizer report fails the test (libFuzzer exits non-zero).
set -eu
fuzzer=$1 seeds=$2 seconds=$3
# Absolute paths: the fuzzer runs from the scratch folder.
fuzzer=$(realpath "$fuzzer")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
[ -d "$seeds" ] && cp -r "$seeds"/. "$work/corpus/" 2>/dev/null || true
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -max_len=8192 -timeout=10 corpus
