// The command line's arguments against what they parse to: the fields that
// differ from the defaults, or the one-line reason of a usage error.
#include "converter/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "converter/options.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

std::string Fields(const RecordLayout& layout) {
  std::string text;
  for (const LayoutField& field : layout.fields) {
    text += (text.empty() ? "" : ",") + field.name + ":" +
            std::string(ValueTypeName(field.type));
    std::string dims;
    for (std::uint64_t dim : field.dims) {
      if (!dims.empty()) dims += 'x';
      dims += std::to_string(dim);
    }
    if (field.open) dims += "x*";
    if (!dims.empty()) text += "(" + dims + ")";
  }
  return text;
}

// The fields of `line` that differ from a default CommandLine's, in words.
std::string Parsed(const CommandLine& line) {
  std::vector<std::string> words;
  constexpr const char* kActions[] = {"", "describe", "help", "version",
                                      "list"};
  if (line.action != CommandLine::Action::kConvert) {
    words.push_back(kActions[static_cast<int>(line.action)]);
  }
  const LoadRequest& request = line.request;
  if (line.output) words.push_back("output=" + *line.output);
  if (line.name) words.push_back("name=" + *line.name);
  if (request.type != ValueType::kReal4) {
    words.push_back("type=" + std::string(ValueTypeName(request.type)));
  }
  if (request.skip != 0) {
    words.push_back("skip=" + std::to_string(request.skip));
  }
  if (request.header) words.push_back("header=" + Fields(*request.header));
  if (request.record) words.push_back("record=" + Fields(*request.record));
  if (request.layout) {
    std::string names;
    for (const LayoutVariable& variable : request.layout->variables) {
      names += (names.empty() ? "" : ",") + variable.name;
    }
    words.push_back("layout=" + names);
  }
  constexpr const char* kClasses[] = {"double", "single", "native"};
  if (request.classes != ClassChoice::kDouble) {
    words.push_back("class=" +
                    std::string(kClasses[static_cast<int>(request.classes)]));
  }
  if (request.join) words.push_back("join");
  constexpr const char* kFormats[] = {"v6", "v7", "v7.3"};
  if (line.mat_options.format != MatFormat::kV6) {
    words.push_back(
        "format=" +
        std::string(kFormats[static_cast<int>(line.mat_options.format)]));
  }
  if (line.mat_options.level) {
    words.push_back("level=" + std::to_string(*line.mat_options.level));
  }
  if (line.jobs != 1) words.push_back("jobs=" + std::to_string(line.jobs));
  if (line.quiet) words.push_back("quiet");
  if (line.verbose) words.push_back("verbose");
  std::string files;
  for (const std::string& file : line.data_files) {
    files += (files.empty() ? "" : ",") + file;
  }
  if (!files.empty()) words.push_back("files=" + files);
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

// What `args` parse to, or "error: " and the reason.
std::string Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "unf2mat");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  CommandLine line;
  if (auto error =
          ParseCommandLine(static_cast<int>(args.size()), argv.data(), &line)) {
    return "error: " + *error;
  }
  return Parsed(line);
}

TEST(CommandLineTest, ParsesEachOptionAndNamesEachMistake) {
  const std::filesystem::path dir = test::MakeTempDir();
  const std::string layout_file = dir / "steps.layout";
  std::ofstream(layout_file) << "# steps\nrecord n: int4\n"
                                "repeat { record t: real8 }\n";
  const std::string d81(81, 'd');
  const struct {
    std::vector<std::string> args;
    std::string parsed;
  } cases[] = {
      // Each option, by its names.
      {{"a.dat", "b.dat"}, "files=a.dat,b.dat"},
      {{"-o", "out", "--output=x.mat", "a.dat"}, "output=x.mat files=a.dat"},
      {{"-n", "v", "a.dat"}, "name=v files=a.dat"},
      {{"--name", "v", "a.dat"}, "name=v files=a.dat"},
      {{"--layout",
        "record n: int4; repeat { record t: real4; record q: "
        "real4(n) }",
        "a.dat"},
       "layout=n,t,q files=a.dat"},
      {{"--layout", "fds-slice", "a.sf"},
       "layout=quantity,short_name,units,i1,i2,j1,j2,k1,k2,time,q "
       "files=a.sf"},
      {{"--layout=" + layout_file, "a.dat"}, "layout=n,t files=a.dat"},
      {{"--layout", "list"}, "list"},
      {{"-t", "real8", "a.dat"}, "type=real8 files=a.dat"},
      {{"--type=int8", "a.dat"}, "type=int8 files=a.dat"},
      {{"--skip", "2", "a.dat"}, "skip=2 files=a.dat"},
      {{"--header", "n:int4,_:real4", "a.dat"},
       "header=n:int4,_:real4 files=a.dat"},
      {{"--record", "t:real8,u:real4(5,3),k:int4(2,*)", "a.dat"},
       "record=t:real8,u:real4(5x3),k:int4(2x*) files=a.dat"},
      // The dimensions read the type given after them too.
      {{"--dims", "2x3", "-t", "int4", "a.dat"},
       "type=int4 record=:int4(2x3) files=a.dat"},
      {{"--class", "single", "a.dat"}, "class=single files=a.dat"},
      {{"--class=native", "--record", "k:int8", "a.dat"},
       "record=k:int8 class=native files=a.dat"},
      {{"--join", "a.dat", "b.dat"}, "join files=a.dat,b.dat"},
      {{"--format", "v7.3", "a.dat"}, "format=v7.3 files=a.dat"},
      {{"--format", "v7", "--level", "9", "a.dat"},
       "format=v7 level=9 files=a.dat"},
      {{"--describe", "a.dat"}, "describe files=a.dat"},
      // Standard input needs no MAT-file name where nothing is written.
      {{"--describe", "-"}, "describe files=-"},
      {{"-q", "a.dat"}, "quiet files=a.dat"},
      {{"--quiet", "--verbose", "a.dat"}, "quiet verbose files=a.dat"},
      {{"-v", "a.dat"}, "verbose files=a.dat"},
      {{"-j", "1024", "a.dat"}, "jobs=1024 files=a.dat"},
      {{"--jobs=2", "a.dat"}, "jobs=2 files=a.dat"},
      {{"-qvj", "3", "a.dat"}, "jobs=3 quiet verbose files=a.dat"},
      // Help and the version answer at once, whatever follows.
      {{"-h", "--bogus"}, "help"},
      {{"--help"}, "help"},
      {{"--version", "-t", "real16"}, "version"},
      {{"-o", "out", "-"}, "output=out files=-"},
      {{"-n", std::string(80, 'v'), "a.dat"},
       "name=" + std::string(80, 'v') + " files=a.dat"},
      // After "--" every argument is a data file.
      {{"--", "-v"}, "files=-v"},

      // Usage errors.
      {{"-x", "a.dat"}, "error: unknown option '-x'"},
      {{"--bogus", "a.dat"}, "error: unknown option '--bogus'"},
      {{"-t", "real16", "a.dat"},
       "error: unknown value type 'real16': --type takes real4, real8, int4 "
       "or int8"},
      // A control byte of an argument reaches no terminal.
      {{"--type", "re\x1b[2J", "a.dat"},
       "error: unknown value type 're\\x1b[2J': --type takes real4, real8, "
       "int4 or int8"},
      {{"-q"}, "error: no data file given"},
      {{"-"},
       "error: '-' reads the data from standard input, which has no name to "
       "give the MAT-file: name it with --output"},
      {{"a.dat", "-n"}, "error: option '-n' needs an argument"},
      {{"a.dat", "-qn"}, "error: option '-n' needs an argument"},
      {{"a.dat", "--output"}, "error: option '--output' needs an argument"},
      {{"-o", d81, "a.dat"},
       "error: --output takes a name of at most 80 characters"},
      {{"-n", d81, "a.dat"},
       "error: --name takes a name of at most 80 characters"},
      {{"--skip", "-1", "a.dat"},
       "error: --skip takes a number of records, not '-1'"},
      {{"--skip", "", "a.dat"},
       "error: --skip takes a number of records, not ''"},
      {{"--record", "u", "a.dat"},
       "error: field 1 ('u') of layout 'u': it is not NAME:TYPE or "
       "NAME:TYPE(D1,...)"},
      {{"--record", "a:real4,b:int4(3,0)", "a.dat"},
       "error: field 2 ('b:int4(3,0)') of layout 'a:real4,b:int4(3,0)': a "
       "dimension of 0 holds nothing"},
      {{"--header", "t:real8,t:int4", "a.dat"},
       "error: field 2 ('t:int4') of layout 't:real8,t:int4': name 't' is "
       "given twice"},
      {{"--record", "a:real4(*,2)", "a.dat"},
       "error: field 1 ('a:real4(*,2)') of layout 'a:real4(*,2)': only the "
       "last dimension of the last field of --record may be '*'"},
      {{"--dims", "2x2147483648", "a.dat"},
       "error: --dims '2x2147483648': dimension 2147483648 is past "
       "2147483647"},
      {{"--record", "a:real4", "--dims", "2", "a.dat"},
       "error: --record and --dims each give the whole record"},
      {{"--dims", "2", "--record", "a:real4", "a.dat"},
       "error: --record and --dims each give the whole record"},
      {{"-t", "real8", "--record", "a:real4", "a.dat"},
       "error: --type sets the type of plain rows and of --dims; --record "
       "gives each field its own"},
      {{"-n", "v", "--record", "a:real4", "a.dat"},
       "error: --name names the variable of plain rows or of --dims; --record "
       "names its fields"},
      {{"--record", "t:real8", "--class", "single", "a.dat"},
       "error: --class single keeps only real4 values exactly, but field "
       "'t' is real8; --class native keeps each as it is"},
      {{"--dims", "2", "-t", "int4", "--class", "single", "a.dat"},
       "error: --class single keeps only real4 values exactly, but field "
       "'--dims' is int4; --class native keeps each as it is"},
      {{"--class", "single", "-t", "int4", "a.dat"},
       "error: --class single keeps only real4 values exactly, not int4; "
       "--class native keeps each as it is"},
      {{"--class", "float", "a.dat"},
       "error: unknown class 'float': --class takes double, single or "
       "native"},
      {{"--header", "u:int4", "--record", "u:real4", "a.dat"},
       "error: --header and --record both name a field 'u'"},
      {{"--layout", "nope", "a.dat"},
       "error: --layout 'nope' is no shipped layout, file or layout text; "
       "'unf2mat --layout list' names the shipped ones"},
      {{"--layout", "record a: real16", "a.dat"},
       "error: --layout, line 1, column 11: type 'real16' is not real4, "
       "real8, int1, int2, int4, int8, complex8, complex16, logical4 or "
       "char(N)"},
      {{"--layout", "fds-slice", "--skip", "1", "a.dat"},
       "error: --layout reads the whole file; --skip, --header, --record and "
       "--dims read parts of it: give the layout alone"},
      {{"-t", "real8", "--layout", "fds-slice", "a.dat"},
       "error: --layout gives each field its type and name; --type and "
       "--name are for plain rows"},
      {{"--layout", "record c: char(4), x: real8", "--class", "single",
        "a.dat"},
       "error: --class single keeps only real4 values exactly, but field "
       "'x' is real8; --class native keeps each as it is"},
      {{"--jobs=0", "a.dat"},
       "error: --jobs takes a number of conversions from 1 to 1024, not '0'"},
      {{"-j", "1025", "a.dat"},
       "error: --jobs takes a number of conversions from 1 to 1024, not "
       "'1025'"},
      {{"--format", "v8", "a.dat"},
       "error: unknown format 'v8': --format takes v6, v7 or v7.3"},
      {{"--format", "v7", "--level", "0", "a.dat"},
       "error: --level takes a deflate level from 1 to 9, not '0'"},
      {{"--format", "v7", "--level", "10", "a.dat"},
       "error: --level takes a deflate level from 1 to 9, not '10'"},
      {{"--level", "6", "a.dat"},
       "error: --level compresses --format v7 or v7.3; v6 is not compressed"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    EXPECT_EQ(Parse(c.args), c.parsed);
  }
  std::filesystem::remove_all(dir);
}

// The completion offers no value the parser refuses.
TEST(CommandLineTest, TakesEveryValueTheCompletionOffers) {
  for (const OptionRow& option : Options()) {
    if (option.completion != Completion::kWords &&
        option.completion != Completion::kWordsOrCpus) {
      continue;
    }
    std::string values(option.values);
    for (std::size_t at = 0, end; at < values.size(); at = end + 1) {
      end = std::min(values.find(' ', at), values.size());
      const std::string value = values.substr(at, end - at);
      SCOPED_TRACE(Dashed(option.id) + " " + value);
      // Only the compressed formats take a level.
      EXPECT_EQ(Parse({Dashed(option.id), value, "--format=v7", "a.dat"})
                    .rfind("error", 0),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace unf2mat
