#!/usr/bin/env bash
# Usage: check_docs.sh CONVERTER MANPAGE README COMPLETION
# The options are written once, in the converter's table, and --help is made
# from it. Fails where the man page, the README or the bash completion and
# CONVERTER --help disagree on the options, each way; where the completion
# does not offer what it should; or where groff warns on the page.
set -euo pipefail
export LC_ALL=C
converter=$1 page=$2 readme=$3 completion=$4 status=0
fail() { echo "FAIL: $*"; status=1; }

# The options --help lists: each at the start of an indented line, as in
# "  -o, --output MATFILE" or "      --skip N"; deeper lines are text.
help=$("$converter" --help) || { echo "FAIL: $converter --help failed"; exit 1; }
help_options=$(grep -E '^ {1,8}-' <<<"$help" |
  grep -oE '^ +(-[A-Za-z](, |$| ))?(--[a-z][a-z0-9-]*)?' |
  grep -oE -- '--?[A-Za-z][a-z0-9-]*' | sort -u || true)
[[ -n $help_options ]] || { echo "FAIL: no options in $converter --help"; exit 1; }

# The options a text names: long ones anywhere, short ones where unf2mat's
# arguments are written (after "unf2mat", or a code span that starts with
# one). Other programs' command lines (cmake's) name options of their own.
named_options() {
  local text
  text=$(sed -E 's/cmake[^&#`|]*//g')
  {
    grep -oE -- '(^|[^A-Za-z0-9-])--[a-z][a-z0-9-]*' <<<"$text" |
      sed 's/^[^-]*//'
    { grep -oE 'unf2mat( [^`|#;&)]*)?' <<<"$text"
      grep -oE '`-[A-Za-z][^`]*' <<<"$text" | tr -d '`'; } |
      tr ' =' '\n\n' | grep -E '^-[A-Za-z]$'
  } | sort -u || true
}

# Options a document names that --help lacks, and those of --help it lacks.
compare() {  # WHAT NAMED_OPTIONS
  local option
  for option in $(comm -13 <(echo "$help_options") <(echo "$2")); do
    fail "$1 names $option, which '$converter --help' lacks"
  done
  for option in $(comm -23 <(echo "$help_options") <(echo "$2")); do
    fail "$option of '$converter --help' is missing from $1"
  done
}

# The man page: each option documented under OPTIONS (the tag line after
# each .TP), and none named elsewhere that does not exist. The roff source as
# plain words: \- is a hyphen, fonts and quotes go.
plain=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' -e 's/[",]/ /g' "$page")
page_options=$(awk '/^\.SH/ { in_options = ($2 == "OPTIONS") }
  in_options && tag { print } { tag = /^\.TP/ }' <<<"$plain" |
  tr -s ' ' '\n' | grep -E -- '^--?[A-Za-z][a-z0-9-]*$' | sort -u || true)
compare "OPTIONS of $page" "$page_options"
for option in $(named_options <<<"$plain" | comm -23 - <(echo "$help_options")); do
  fail "$page names $option, which '$converter --help' lacks"
done
if ! command -v groff >/dev/null; then
  echo "NOTE: groff is missing; $page was not rendered"
elif warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null || echo "groff failed"); [[ -n $warnings ]]; then
  fail "groff warns on $page:"$'\n'"$warnings"
fi

# The README names every option, and no other.
compare "$readme" "$(named_options <"$readme")"

# The completion: what it offers for the words typed, the last one being
# completed, in a directory of a few files, on a machine of CPUS processors.
work=$(mktemp -d /tmp/unf2mat-docs-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files/sub" "$work/bin"
touch "$work"/files/{a.mat,B.MAT,c.dat,d.txt,s.layout,-v.dat}
# -j offers the processors that nproc counts: here $cpus.
printf '#!/bin/sh\necho "$cpus"\n' >"$work/bin/nproc"
chmod +x "$work/bin/nproc"
offered() {
  (cd "$work/files" && PATH=$work/bin:$PATH bash --norc --noprofile -c 'source "$1" || exit 1; shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    _unf2mat; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@") |
    sort | tr '\n' ' ' | sed 's/ $//'
}
compare "the options $completion offers" "$(offered unf2mat - | tr ' ' '\n')"
export cpus
while IFS='|' read -r cpus words expected; do
  [[ $cpus != \#* ]] || continue
  read -ra words <<<"$words"
  for i in "${!words[@]}"; do [[ ${words[i]} != "''" ]] || words[i]=; done
  got=$(offered unf2mat "${words[@]}")
  [[ $got == "$expected" ]] ||
    fail "completing 'unf2mat ${words[*]}' offers '$got', not '$expected'"
done <<EOF
# CPUS|WORDS TYPED ('' an empty one)|WHAT IS OFFERED
4|--ty|--type
4|--type re|real4 real8
4|--type=re|--type=real4 --type=real8
4|--type = re|real4 real8
4|--type =|int4 int8 real4 real8
4|--class=n|--class=native
6|-j ''|1 2 4 6 8
4|--jobs=|--jobs=1 --jobs=2 --jobs=4 --jobs=8
4|-o ''|B.MAT a.mat sub
4|--output=|--output=B.MAT --output=a.mat --output=sub
4|-o x|
4|--layout fds-s|fds-slice
4|--layout=l|--layout=list
4|--layout s|s.layout sub
4|-n ''|
4|--skip ''|
4|''|-v.dat c.dat sub
4|-q ''|-v.dat c.dat sub
4|-- -|-v.dat
EOF
exit $status
