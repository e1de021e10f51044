#include "converter/control.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "loader/record_layout.h"

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

void SettleMatFileName(RunState& state, std::string_view base_name) {
  state.j = ScanLength(state.fname4, kNameStops);
  std::string_view given = Prefix(state.fname4, state.j);
  if (state.j == 0) {
    Assign(state.fname3, std::string(base_name) + std::string(kMatSuffix));
  } else if (state.j >= 5 && given.ends_with(kMatSuffix)) {
    Assign(state.fname3, given);
  } else {
    Assign(state.fname3, std::string(given) + std::string(kMatSuffix));
  }
}

void SettleVariableName(RunState& state, std::string_view base_name,
                        NameSource source) {
  state.n1 = ScanLength(state.fname2, kNameStops);
  if (state.n1 == 0) {
    if (base_name.empty()) {
      const std::string data_name = Quote(TrimTrailingBlanks(state.fname1));
      throw RunError(source == NameSource::kControlLines
                         ? "no variable name: line 6 of the control input is "
                           "empty and the data file name " +
                               data_name +
                               " has an empty base name; give a name on line 6"
                         : "no variable name: the data file name " + data_name +
                               " has an empty base name; give one with "
                               "--name");
    }
    // The base name holds no blank or NUL, so one copy settles it.
    Assign(state.fname2, base_name);
    state.n1 = ScanLength(state.fname2, kNameStops);
  }
  state.n2 = 0;
  while (state.n2 < state.n1) state.n2 += 8;
  // A name of 1 to 4 characters is written in a short form that takes only
  // its own bytes.
  if (state.n1 >= 5) {
    std::fill(state.fname2.begin() + state.n1, state.fname2.begin() + state.n2,
              '\0');
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

void SettleNames(RunState& state, OutputFile& warnings, NameSource source) {
  // Said as such, rather than as a missing variable name or a file ''.
  if (TrimTrailingBlanks(state.fname1).empty()) {
    throw RunError(source == NameSource::kControlLines
                       ? "no data file name: line 1 of the control input is "
                         "empty; it must name the data file"
                       : "no data file name: an argument is empty");
  }
  state.i = ScanLength(state.fname1, kBaseNameStops);
  const std::string base_name(Prefix(state.fname1, state.i));
  SettleMatFileName(state, base_name);
  SettleVariableName(
      state,
      source == NameSource::kStandardInput
          ? std::string(
                Prefix(state.fname3, ScanLength(state.fname3, kBaseNameStops)))
          : base_name,
      source);
  WarnAboutVariableName(Prefix(state.fname2, state.n1), warnings);
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
  SettleNames(state, console.err, NameSource::kControlLines);
}

}  // namespace unf2mat
