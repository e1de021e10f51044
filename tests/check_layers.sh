#!/usr/bin/env bash
# Fails when a source file includes one from a folder above its own. The
# layers, from the bottom: each folder may include its own files and those
# of the folders before it in this list, never one after it.
#
# usage: check_layers.sh [SOURCE_DIR]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
layers=(io common recordio matfile loader converter)

rank() {
  local i
  for i in "${!layers[@]}"; do
    if [[ ${layers[$i]} == "$1" ]]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

status=0
for dir in "${layers[@]}"; do
  own=$(rank "$dir")
  for file in "$root/$dir"/*.h "$root/$dir"/*.cc; do
    [[ -e $file ]] || continue
    while IFS= read -r included; do
      folder=${included%%/*}
      at=$(rank "$folder")
      if ((at < 0 || at > own)); then
        echo "$dir/${file##*/} includes $included, from a layer above $dir"
        status=1
      fi
    done < <(sed -nE 's/^#include "([^"]+)".*/\1/p' "$file")
  done
done
exit "$status"
