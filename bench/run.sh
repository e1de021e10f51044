#!/usr/bin/env bash
# Builds the converter and the benchmark's tools, then times the converter
# against the I/O floor on data files of several shapes, in the cases a user
# meets (see docs/performance.md). Options go to run_bench.py, such as
# --runs N, --cases first-warm,repeated-cold, --shapes, --baseline FILE,
# --scipy, --pipe, --formats or --work DIR. The work directory (default
# /tmp/unf2mat-bench) needs about 3.5 GB for the five shapes, and about
# 10 GB more for 20000x10000 and 50000000x10; its data files are kept.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ " $* " == *" --scipy "* ]] &&
  ! /usr/bin/python3 -c "import scipy.io" 2>/dev/null; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends python3-scipy \
    </dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target unf2mat unf2mat_make_data \
  unf2mat_io_floor
/usr/bin/python3 bench/run_bench.py --build build "$@"
