#!/usr/bin/env bash
# Fuzzes from the seed corpus for the given seconds; any finding fails.
# usage: run_fuzzer.sh FUZZER MAKE_SEEDS SECONDS
set -euo pipefail
fuzzer=$1 make_seeds=$2 seconds=$3
work=$(mktemp -d /tmp/unf2mat-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/seeds" "$work/corpus"
"$make_seeds" "$work/seeds"
cd "$work"
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -print_final_stats=1 corpus seeds
