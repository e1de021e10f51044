#!/usr/bin/env bash
# Installs what the tests need (when it is missing), builds the converter and
# every test and runs them through CTest, then builds the suite again with the
# sanitizers (and the fuzzer) in build/sanitized and runs it there.
set -euo pipefail
cd "$(dirname "$0")/.."

# The interoperability tests write data with gfortran and read results with
# GNU Octave, scipy and h5py (under Debian's own python3) and libmatio. zlib
# and HDF5 give the converter its v7 and v7.3 formats. groff checks the man
# page; dpkg-dev lets CPack find the package's dependencies.
# The sanitized build and the fuzzer use clang and its runtime. bindfs gives
# the fault tests a file system without O_TMPFILE, strace the system calls a
# run makes. time measures the peak memory of large conversions.
packages=(cmake g++ make libgtest-dev pkg-config gfortran octave python3-scipy
  python3-h5py libmatio-dev zlib1g-dev libhdf5-dev clang-14
  libclang-rt-14-dev bindfs strace time groff-base dpkg-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends \
    "${missing[@]}" </dev/null
fi

cmake -S . -B build -DUNF2MAT_TESTS=ON -DUNF2MAT_REQUIRE_TESTS=ON
cmake --build build -j"$(nproc)"
status=0
ctest --test-dir build --output-on-failure -j"$(nproc)" || status=$?
# A step of its own rather than a test of the plain run: it builds and runs a
# suite of its own in parallel, which would nest within ctest's -j.
bash tests/run_sanitized.sh "$PWD" "$PWD/build/sanitized" || status=$?
exit "$status"
