#!/usr/bin/env bash
# Installs the converter as a user would, with `cmake --install` and from the
# Debian package CPack makes, and runs each installed binary on the shipped
# example: the same MAT-file as the build's, the project's version, the man
# page, completion and documentation in place.
# usage: check_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/unf2mat-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
mkdir "$work/example"
cp "$source/examples/sample.dat" "$source/examples/sample.in" "$work/example"
(cd "$work/example" && "$build/unf2mat" <sample.in >/dev/null &&
  mv sample.mat expected.mat)

check_tree() {  # ROOT PREFIX
  local bin=$1$2/bin/unf2mat
  [ "$("$bin" --version)" = "unf2mat $version" ] || fail "$bin --version"
  for file in share/man/man1/unf2mat.1 \
    share/bash-completion/completions/unf2mat share/doc/unf2mat/README.md; do
    [ -s "$1$2/$file" ] || fail "$file is not installed under $1$2"
  done
  grep -q "^\.TH UNF2MAT 1 .*$version" "$1$2/share/man/man1/unf2mat.1" ||
    fail "the man page does not carry version $version"
  (cd "$work/example" && "$bin" <sample.in >out.txt) || fail "$bin failed"
  printf ' 115\n done creating mat-file\n' | cmp -s - "$work/example/out.txt" ||
    fail "$bin printed something else"
  cmp -s "$work/example/sample.mat" "$work/example/expected.mat" ||
    fail "$bin wrote another MAT-file"
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
check_tree "$work/prefix" ""

(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(echo "$work"/package/*.deb)
[ -f "$deb" ] || fail "cpack made no .deb"
dpkg-deb -f "$deb" Depends | grep -q libc6 ||
  fail "the package's dependencies do not come from its libraries"
dpkg -x "$deb" "$work/root"
check_tree "$work/root" /usr
echo "installed and packaged unf2mat $version: ok"
