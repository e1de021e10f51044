// The command line's options, a row each: its names, its argument, what the
// completion offers for it and its lines of the help text. The parser's
// getopt tables, the help text and the bash completion are made from these
// rows, so that an option is added by a row, its handler in the parser and
// its test; no other source file spells an option's long name.
#ifndef UNF2MAT_CONVERTER_OPTIONS_H_
#define UNF2MAT_CONVERTER_OPTIONS_H_

#include <span>
#include <string>
#include <string_view>

namespace unf2mat {

// In the order of the rows, which is the help text's.
enum class OptionId {
  kOutput,
  kName,
  kLayout,
  kType,
  kSkip,
  kHeader,
  kRecord,
  kDims,
  kClass,
  kJoin,
  kFormat,
  kLevel,
  kDescribe,
  kQuiet,
  kVerbose,
  kJobs,
  kHelp,
  kVersion,
};

// What the bash completion offers for an option's argument.
enum class Completion {
  kNothing,      // a name, a count or a layout of fields
  kWords,        // the words of `values`
  kWordsOrCpus,  // those, and the number of processors
  kFile,         // a file, those ending in .`values` first
  kLayoutName,   // kLayoutList, a shipped layout's name, or a kFile
};

struct OptionRow {
  OptionId id;
  char short_name;             // '\0': none
  std::string_view long_name;  // without its dashes; a literal
  std::string_view argument;   // empty: the option takes none
  Completion completion;
  std::string_view values;  // blank-separated words, or a file's suffix
  // Its help text, wrapped to the help's width; a '\n' starts a line, whose
  // leading blanks are kept.
  std::string_view help;
};

// Every option, in the order the help text lists them.
std::span<const OptionRow> Options();

const OptionRow& OptionOf(OptionId id);

// The option as messages name it: its long name after two dashes.
std::string Dashed(OptionId id);

// The argument of kLayout that names the shipped layouts.
inline constexpr std::string_view kLayoutList = "list";

// The help text: the usage, each option's lines and the exit status.
std::string HelpText();

// What kLayout's kLayoutList prints: each shipped layout's name and what
// it reads.
std::string ShippedLayoutList();

// The line that says a usage error, pointing to the help option.
std::string UsageErrorLine(std::string_view reason);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_OPTIONS_H_
