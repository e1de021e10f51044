// Writes the bash completion of unf2mat, made from its table of options, to
// the file its argument names, or else to standard output. The build runs
// it and installs what it writes.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "converter/options.h"
#include "loader/shipped_layouts.h"

namespace unf2mat {
namespace {

constexpr std::string_view kFiles =
    R"(# bash completion for unf2mat                                  -*- shell-script -*-
# Made by unf2mat_completion from the converter's table of options.

# Completes file names, those ending in .SUFFIX first: with _filedir where
# bash-completion is loaded (it quotes and marks directories as configured),
# else with compgen.
_unf2mat_files()
{
    local cur=$1 suffix=$2
    if declare -F _filedir >/dev/null; then
        _filedir "$suffix"
        # Any file will do where none has the suffix.
        ((${#COMPREPLY[@]})) || _filedir
        return
    fi
    compopt -o filenames 2>/dev/null
    local IFS=$'\n' reply
    COMPREPLY=($(compgen -d -- "$cur")
        $(compgen -f -X "!*.$suffix" -- "$cur")
        $(compgen -f -X "!*.${suffix^^}" -- "$cur"))
    # Directories alone leave no file to pick: offer every file.
    for reply in "${COMPREPLY[@]}"; do
        [[ -d $reply ]] || return
    done
    COMPREPLY=($(compgen -f -- "$cur"))
}

_unf2mat()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local prefix=
    COMPREPLY=()

    # Where "=" breaks words, "OPTION=VA" arrives as "OPTION" "=" "VA";
    # elsewhere as one word, whose "OPTION=" each completion keeps.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    elif [[ $cur == --*=* ]]; then
        prefix=${cur%%=*}=
        prev=${cur%%=*}
        cur=${cur#*=}
    fi

    local values=
    case $prev in
)";

constexpr std::string_view kOptionsOrFiles = R"(    esac
    if [[ -n $values ]]; then
        COMPREPLY=($(compgen -P "$prefix" -W "$values" -- "$cur"))
        return
    fi

    # After "--" every word is a data file.
    local i
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -- ]] && break
    done
    if [[ $cur == -* ]] && ((i == COMP_CWORD)); then
        COMPREPLY=($(compgen -W ')";

constexpr std::string_view kEnd = R"(' -- "$cur"))
        return
    fi
    _unf2mat_files "$cur" dat
}
complete -F _unf2mat unf2mat

# ex: filetype=sh
)";

// A word the script may hold in single quotes and as a case pattern.
bool IsPlainWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                       c == '-';
    if (!plain) return false;
  }
  return true;
}

// The blank-separated words of `text`.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    if (end > 0) words.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return words;
}

// `words` one line, or several indented as `indent` where they would pass
// the script's width.
std::string Wrapped(const std::vector<std::string_view>& words,
                    std::string_view indent, std::size_t column) {
  constexpr std::size_t kWidth = 72;
  std::string text;
  for (std::string_view word : words) {
    if (!text.empty()) {
      if (column + 1 + word.size() > kWidth) {
        text += '\n';
        text += indent;
        column = indent.size();
      } else {
        text += ' ';
        ++column;
      }
    }
    text += word;
    column += word.size();
  }
  return text;
}

std::string Names(const OptionRow& option) {
  return (option.short_name != '\0'
              ? std::string("-") + option.short_name + " | "
              : std::string()) +
         Dashed(option.id);
}

std::string FilesArm(std::string_view suffix) {
  return "            _unf2mat_files \"$cur\" " + std::string(suffix) + "\n";
}

// The case arm of an option that takes an argument; empty where nothing
// is offered for it.
std::string Arm(const OptionRow& option) {
  const std::string names = "        " + Names(option) + ")";
  const std::string values(option.values);
  switch (option.completion) {
    case Completion::kNothing:
      return "";
    case Completion::kWords:
      return names + " values='" + values + "' ;;\n";
    case Completion::kWordsOrCpus:
      return names + "\n            values='" + values +
             "'\n"
             "            local cpus\n"
             "            cpus=$(nproc 2>/dev/null) && "
             "[[ \" $values \" != *\" $cpus \"* ]] &&\n"
             "                values+=\" $cpus\"\n"
             "            ;;\n";
    case Completion::kFile:
      return names + "\n" + FilesArm(values) +
             "            COMPREPLY=(\"${COMPREPLY[@]/#/$prefix}\")\n"
             "            return\n"
             "            ;;\n";
    case Completion::kLayoutName: {
      std::vector<std::string_view> words = {kLayoutList};
      for (const ShippedLayout& layout : ShippedLayouts()) {
        words.push_back(layout.name);
      }
      return names + "\n" + FilesArm(values) +
             "            COMPREPLY=($(compgen -P \"$prefix\" -W '" +
             Wrapped(words, std::string(16, ' '), 50) +
             "' -- \"$cur\")\n"
             "                \"${COMPREPLY[@]/#/$prefix}\")\n"
             "            return\n"
             "            ;;\n";
    }
  }
  return "";
}

// Whether every name and value the script will hold is a plain word; says
// the first that is not.
bool AllPlainWords() {
  std::vector<std::string_view> words;
  for (const OptionRow& option : Options()) {
    words.push_back(option.long_name);
    for (std::string_view word : Words(option.values)) words.push_back(word);
  }
  for (const ShippedLayout& layout : ShippedLayouts()) {
    words.push_back(layout.name);
  }
  for (std::string_view word : words) {
    if (!IsPlainWord(word)) {
      std::fprintf(stderr, "unf2mat_completion: '%.*s' is no plain word\n",
                   static_cast<int>(word.size()), word.data());
      return false;
    }
  }
  return true;
}

std::string Script() {
  std::string arms, nothing;
  std::vector<std::string> dashed;
  for (const OptionRow& option : Options()) {
    if (option.short_name != '\0') {
      dashed.push_back(std::string("-") + option.short_name);
    }
    dashed.push_back(Dashed(option.id));
    if (option.argument.empty()) continue;
    arms += Arm(option);
    if (option.completion == Completion::kNothing) {
      nothing += (nothing.empty() ? "" : " | ") + Names(option);
    }
  }
  if (!nothing.empty()) {
    arms +=
        "        # A name, a count or a layout: nothing to offer.\n"
        "        " +
        nothing + ") return ;;\n";
  }
  return std::string(kFiles) + arms + std::string(kOptionsOrFiles) +
         Wrapped(std::vector<std::string_view>(dashed.begin(), dashed.end()),
                 std::string(12, ' '), 32) +
         std::string(kEnd);
}

}  // namespace
}  // namespace unf2mat

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: unf2mat_completion [FILE]\n");
    return 1;
  }
  if (!unf2mat::AllPlainWords()) return 1;
  const std::string script = unf2mat::Script();
  std::FILE* out = argc == 2 ? std::fopen(argv[1], "w") : stdout;
  const bool written =
      out != nullptr &&
      std::fwrite(script.data(), 1, script.size(), out) == script.size();
  if ((out != nullptr && std::fclose(out) != 0) || !written) {
    std::perror(argc == 2 ? argv[1] : "standard output");
    if (argc == 2) std::remove(argv[1]);
    return 1;
  }
  return 0;
}
