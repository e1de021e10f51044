#!/usr/bin/env bash
# Builds the converter and the benchmark's tools, then times the converter
# against the I/O floor and the scipy route on five shapes of 50,000,000
# values (see README, "Performance"). Options go to run_bench.py, such as
# --runs N, --cold, --skip-scipy or --work DIR. The work directory (default
# /tmp/unf2mat-bench) needs about 3.5 GB; its data files are kept for reruns.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! /usr/bin/python3 -c "import scipy.io" 2>/dev/null; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends python3-scipy \
    </dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target unf2mat unf2mat_make_data \
  unf2mat_io_floor unf2mat_warm_memory
/usr/bin/python3 bench/run_bench.py --build build "$@"
