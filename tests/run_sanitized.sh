#!/usr/bin/env bash
# Builds every test and the fuzzer with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in BUILD_DIR, and runs them all there.
# usage: run_sanitized.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build_dir=$2
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNF2MAT_SANITIZE=ON \
  -DUNF2MAT_TESTS=ON -DUNF2MAT_REQUIRE_TESTS=ON
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
