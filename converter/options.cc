#include "converter/options.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "loader/shipped_layouts.h"

namespace unf2mat {
namespace {

using enum OptionId;
using enum Completion;

constexpr OptionRow kOptions[] = {
    {kOutput, 'o', "output", "MATFILE", kFile, "mat",
     "the MAT-file; .mat is added unless the name ends in it. With several "
     "DATAFILEs, one MAT-file for all, variables named after each (a, a_u, "
     "...)"},
    {kName, 'n', "name", "VARIABLE", kNothing, "", "the variable name"},
    {kLayout, '\0', "layout", "NAME|FILE|TEXT", kLayoutName, "layout",
     "the whole file's layout: a shipped one by name, a file, or its text, "
     "such as 'record n: int4; repeat { record t: real4; record q: real4(n) "
     "}'; FILE may hold comments (#) and a statement a line.\n"
     "--layout list names the shipped ones"},
    {kType, 't', "type", "TYPE", kWords, "real4 real8 int4 int8",
     "what each value of plain rows or --dims is: real4 (the default), real8, "
     "int4 or int8"},
    {kSkip, '\0', "skip", "N", kNothing, "",
     "the first N records of each DATAFILE are not loaded"},
    {kHeader, '\0', "header", "LAYOUT", kNothing, "",
     "the record after those read by LAYOUT, each field a variable of its "
     "own"},
    {kRecord, '\0', "record", "LAYOUT", kNothing, "",
     "every data record read by LAYOUT, each field a variable stacked over "
     "the records along a last dimension: u:real4(5,3) gives u, 5 x 3 x "
     "RECORDS"},
    {kDims, '\0', "dims", "D1xD2[x...]", kNothing, "",
     "each record one array of --type values: the variable is D1 x D2 x ... x "
     "RECORDS"},
    {kClass, '\0', "class", "CLASS", kWords, "double single native",
     "double (the default: every value widened exactly), single (real4 "
     "values as they are) or native (each value its own: single, double, "
     "int32, int64)"},
    {kJoin, '\0', "join", "", kNothing, "",
     "the DATAFILEs as one series into one MAT-file: records stack across "
     "files, header fields one value per file"},
    {kFormat, '\0', "format", "FORMAT", kWords, "v6 v7 v7.3",
     "v6 (the default), v7 (each variable compressed) or v7.3 (HDF5: no size "
     "limit; MATLAB, Octave and h5py read it, scipy does not)"},
    {kLevel, '\0', "level", "N", kWords, "1 2 3 4 5 6 7 8 9",
     "the deflate level, 1 (the default of v7) to 9; v7.3 is compressed only "
     "when it is given"},
    {kDescribe, '\0', "describe", "", kNothing, "",
     "convert nothing; print for each DATAFILE:\n"
     "  DATAFILE\n"
     "    framing: MARKERS\n"
     "    subrecords: none | N records split\n"
     "    records: N\n"
     "    length: B bytes in N records, first record R\n"
     "    (one line per distinct length, in order)\n"
     "    matrix: ROWS x COLUMNS of TYPE values\n"
     "    variable: NAME, D1 x D2 x ..., CLASS (with a\n"
     "      layout, for each variable; cells as D1 x D2 cell\n"
     "      of SHAPE; ...)\n"
     "    stop: none, the whole file loads | RECORD, why\n"
     "    unread: B bytes\n"
     "    hint: ... (where the values look like another\n"
     "      type or byte order, or the first record a header)\n"
     "    suggest: unf2mat OPTIONS DATAFILE (a command that\n"
     "      reads the whole file, where plain rows do not)"},
    {kQuiet, 'q', "quiet", "", kNothing, "", "no warnings"},
    {kVerbose, 'v', "verbose", "", kNothing, "",
     "a line per MAT-file: run.dat -> run.mat: 40 x 7, variable run"},
    {kJobs, 'j', "jobs", "N", kWordsOrCpus, "1 2 4 8",
     "convert up to N data files at once, where each has a MAT-file of its "
     "own; messages stay in file order"},
    {kHelp, 'h', "help", "", kNothing, "", "this text"},
    {kVersion, '\0', "version", "", kNothing, "", "the version"},
};

// Row k is the option of id k, each name once: OptionOf looks it up by id,
// and getopt would take only the first of two rows of one name.
constexpr bool RowsAreInIdOrder() {
  for (std::size_t k = 0; k < std::size(kOptions); ++k) {
    if (static_cast<std::size_t>(kOptions[k].id) != k) return false;
  }
  return static_cast<std::size_t>(kVersion) + 1 == std::size(kOptions);
}
static_assert(RowsAreInIdOrder());

constexpr bool NamesAreDistinct() {
  for (std::size_t k = 0; k < std::size(kOptions); ++k) {
    for (std::size_t j = 0; j < k; ++j) {
      if (kOptions[k].long_name == kOptions[j].long_name) return false;
      if (kOptions[k].short_name != '\0' &&
          kOptions[k].short_name == kOptions[j].short_name) {
        return false;
      }
    }
  }
  return true;
}
static_assert(NamesAreDistinct());

constexpr std::string_view kUsage =
    R"(usage: unf2mat [OPTIONS] DATAFILE...
       unf2mat            (no arguments: six control lines on standard input)

Converts each Fortran unformatted sequential DATAFILE into a MAT-file holding
one real double matrix, one record per row: run.dat gives run.mat, variable
run. Loading stops at the first record shorter than the first one, with a
warning. --layout reads the whole file as its WRITE statements wrote it, each
field a variable: records, groups that repeat (a count of times, or until the
file ends), sizes read from the file, characters, complex values, logicals.
A LAYOUT of --header and --record is a comma-separated list of NAME:TYPE or
NAME:TYPE(D1,D2,...), TYPE real4, real8, int4 or int8; a field named _ is
skipped, and the last dimension of the last field of --record may be *, set
by the first data record. A DATAFILE of - is standard input; it needs -o,
and the variable is named after the MAT-file. Data read from a pipe is kept
in a temporary file in $TMPDIR, or else beside the MAT-file, while it is
converted.

)";

constexpr std::string_view kExitStatus = R"(
Exit status: 0 when every file converted, 1 when any failed (each failure is
reported and the next file converted), 2 for a usage error.
)";

// Where each option's help text starts, and the width it is wrapped to.
constexpr std::size_t kHelpColumn = 25;
constexpr std::size_t kHelpWidth = 77;

// `text` from column kHelpColumn on, each of its lines filled to
// kHelpWidth; `line` holds what comes before it on the first line.
void AppendWrapped(std::string_view text, std::string line, std::string* out) {
  while (!text.empty()) {
    const std::string_view one = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), one.size() + 1));
    const std::size_t blanks = std::min(one.find_first_not_of(' '), one.size());
    const std::size_t start = kHelpColumn + blanks;
    line.resize(start, ' ');
    std::size_t at = blanks;
    while (at < one.size()) {
      const std::size_t end = std::min(one.find(' ', at), one.size());
      const std::string_view word = one.substr(at, end - at);
      if (line.size() > start && line.size() + 1 + word.size() > kHelpWidth) {
        *out += line + "\n";
        line.assign(start, ' ');
      }
      if (line.size() > start) line += ' ';
      line += word;
      at = end + 1;
    }
    *out += line + "\n";
    line.clear();
  }
}

}  // namespace

std::span<const OptionRow> Options() { return kOptions; }

const OptionRow& OptionOf(OptionId id) {
  return kOptions[static_cast<std::size_t>(id)];
}

std::string Dashed(OptionId id) {
  return "--" + std::string(OptionOf(id).long_name);
}

std::string HelpText() {
  std::string text(kUsage);
  for (const OptionRow& option : kOptions) {
    std::string head = option.short_name != '\0'
                           ? std::string("  -") + option.short_name + ", "
                           : std::string(6, ' ');
    head += Dashed(option.id);
    if (!option.argument.empty()) {
      head += ' ';
      head += option.argument;
    }
    // A head too long for its column has the text on the lines below.
    if (head.size() + 1 > kHelpColumn) {
      text += head + "\n";
      head.clear();
    }
    AppendWrapped(option.help, head, &text);
  }
  return text + std::string(kExitStatus);
}

std::string ShippedLayoutList() {
  std::string text;
  for (const ShippedLayout& layout : ShippedLayouts()) {
    std::string name(layout.name);
    name.resize(std::max<std::size_t>(name.size() + 2, 18), ' ');
    text += name + std::string(layout.summary()) + "\n";
  }
  return text;
}

std::string UsageErrorLine(std::string_view reason) {
  return "unf2mat: " + std::string(reason) + "; see 'unf2mat " + Dashed(kHelp) +
         "'\n";
}

}  // namespace unf2mat
