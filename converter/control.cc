#include "converter/control.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/run_error.h"
#include "converter/options.h"
#include "loader/layout.h"

namespace unf2mat {
namespace {

constexpr std::size_t kLineWidth = 80;
constexpr std::string_view kMatSuffix = ".mat";
// The base name of the data file ends at a blank, a dot or a NUL; other names
// at a blank or a NUL.
constexpr std::string_view kBaseNameStops{" .\0", 3};
constexpr std::string_view kNameStops{" \0", 2};

void ReadDataFileName(RunState& state, Console& console) {
  std::string line;
  switch (console.in.ReadLine(kLineWidth, &line)) {
    case ReadStatus::kOk:
      Assign(state.fname1, line);
      return;
    case ReadStatus::kFailed:
      throw RunError(std::string("cannot read the data file name from "
                                 "standard input: ") +
                     std::strerror(console.in.error()));
    default:
      throw RunError(
          "standard input is empty: the first line must name the data file");
  }
}

// Lines 2 to 4 are ignored; line 5 names the MAT-file. Input that ends (or
// fails) early leaves fname4 as it was.
void ReadMatFileName(RunState& state, Console& console) {
  for (int line = 2; line <= 4; ++line) {
    if (console.in.SkipLine() != ReadStatus::kOk) return;
  }
  std::string line;
  if (console.in.ReadLine(kLineWidth, &line) == ReadStatus::kOk) {
    Assign(state.fname4, line);
  }
}

void SettleMatFileName(const GivenNames& given, std::string_view base_name,
                       SettledNames* names) {
  names->j = ScanLength(given.fname4, kNameStops);
  std::string_view name = Prefix(given.fname4, names->j);
  if (names->j == 0) {
    Assign(names->fname3, std::string(base_name) + std::string(kMatSuffix));
  } else if (names->j >= 5 && name.ends_with(kMatSuffix)) {
    Assign(names->fname3, name);
  } else {
    Assign(names->fname3, std::string(name) + std::string(kMatSuffix));
  }
}

void SettleVariableName(const GivenNames& given, std::string_view base_name,
                        NameSource source, SettledNames* names) {
  names->fname2 = given.fname2;
  names->n1 = ScanLength(names->fname2, kNameStops);
  if (names->n1 == 0) {
    if (base_name.empty()) {
      const std::string data_name = Quote(TrimTrailingBlanks(given.fname1));
      throw RunError(source == NameSource::kControlLines
                         ? "no variable name: line 6 of the control input is "
                           "empty and the data file name " +
                               data_name +
                               " has an empty base name; give a name on line 6"
                         : "no variable name: the data file name " + data_name +
                               " has an empty base name; give one with " +
                               Dashed(OptionId::kName));
    }
    // The base name holds no blank or NUL, so one copy settles it.
    Assign(names->fname2, base_name);
    names->n1 = ScanLength(names->fname2, kNameStops);
  }
  names->n2 = 0;
  while (names->n2 < names->n1) names->n2 += 8;
  // A name of 1 to 4 characters is written in a short form that takes only
  // its own bytes.
  if (names->n1 >= 5) {
    std::fill(names->fname2.begin() + names->n1,
              names->fname2.begin() + names->n2, '\0');
  }
}

// Octave and scipy load such a name, but MATLAB refuses the file; the name is
// still written as given.
}  // namespace

void WarnAboutVariableName(std::string_view name, OutputFile& warnings) {
  if (IsMatlabName(name)) return;
  Warn(warnings, "variable name " + Quote(name) +
                     " is not one MATLAB accepts (a letter, then letters, "
                     "digits or underscores, at most 63 in all); it is "
                     "written unchanged");
}

SettledNames SettleNames(const GivenNames& given, NameSource source) {
  // Said as such, rather than as a missing variable name or a file ''.
  if (TrimTrailingBlanks(given.fname1).empty()) {
    throw RunError(source == NameSource::kControlLines
                       ? "no data file name: line 1 of the control input is "
                         "empty; it must name the data file"
                       : "no data file name: an argument is empty");
  }
  SettledNames names;
  names.i = ScanLength(given.fname1, kBaseNameStops);
  const std::string base_name(Prefix(given.fname1, names.i));
  SettleMatFileName(given, base_name, &names);
  SettleVariableName(
      given,
      source == NameSource::kStandardInput
          ? std::string(
                Prefix(names.fname3, ScanLength(names.fname3, kBaseNameStops)))
          : base_name,
      source, &names);
  return names;
}

void readcontrol(RunState& state, Console& console) {
  ReadDataFileName(state, console);
  ReadMatFileName(state, console);

  std::string line;
  if (console.in.ReadLine(kLineWidth, &line) == ReadStatus::kOk) {
    Assign(state.fname2, line);
  }
  // The code before any default applies: 0 when line 6 was missing.
  PrintLine(console,
            std::to_string(static_cast<unsigned char>(state.fname2[0])));
  const SettledNames names = SettleNames(
      {state.fname1, state.fname4, state.fname2}, NameSource::kControlLines);
  PutNames(names, state);
  WarnAboutVariableName(names.variable(), console.err);
}

void PutNames(const SettledNames& names, RunState& state) {
  state.fname3 = names.fname3;
  state.fname2 = names.fname2;
  state.n1 = names.n1;
  state.n2 = names.n2;
  state.i = names.i;
  state.j = names.j;
}

}  // namespace unf2mat
