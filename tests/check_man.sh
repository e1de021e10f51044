#!/usr/bin/env bash
# Usage: check_man.sh CONVERTER MANPAGE
# Fails when the man page and CONVERTER --help disagree on the options, or
# when groff warns on the page.
set -euo pipefail
export LC_ALL=C
converter=$1 page=$2 status=0

# The options --help lists: each at the start of an indented line, as in
# "  -o, --output MATFILE" or "      --skip N"; deeper lines are text.
help=$("$converter" --help) || { echo "FAIL: $converter --help failed"; exit 1; }
help_options=$(grep -E '^ {1,8}-' <<<"$help" |
  grep -oE '^ +(-[A-Za-z](, |$| ))?(--[a-z][a-z0-9-]*)?' |
  grep -oE -- '--?[A-Za-z][a-z0-9-]*' | sort -u || true)
[[ -n $help_options ]] || { echo "FAIL: no options in $converter --help"; exit 1; }
# The roff source as plain words: \- is a hyphen, fonts and quotes go.
plain=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' -e 's/[",]/ /g' "$page")
# The options the page documents: the tag line after each .TP of OPTIONS.
page_options=$(awk '/^\.SH/ { in_options = ($2 == "OPTIONS") }
  in_options && tag { print } { tag = /^\.TP/ }' <<<"$plain" |
  tr -s ' ' '\n' | grep -E -- '^--?[A-Za-z][a-z0-9-]*$' | sort -u || true)
# Long options named anywhere on the page (examples, text) must exist too.
named=$(grep -oE -- '(^|[^A-Za-z0-9-])--[a-z][a-z0-9-]*' <<<"$plain" |
  sed 's/^[^-]*//' | sort -u || true)

for option in $(comm -23 <(echo "$help_options") <(echo "$page_options")); do
  echo "FAIL: $option of '$converter --help' is missing from OPTIONS of $page"
  status=1
done
for option in $(sort -u <(echo "$page_options") <(echo "$named") |
                comm -23 - <(echo "$help_options")); do
  echo "FAIL: $page documents $option, which '$converter --help' lacks"
  status=1
done
if ! command -v groff >/dev/null; then
  echo "NOTE: groff is missing; $page was not rendered"
elif warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null || echo "groff failed"); [[ -n $warnings ]]; then
  printf 'FAIL: groff warns on %s:\n%s\n' "$page" "$warnings"; status=1
fi
exit $status
