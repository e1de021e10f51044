#include "converter/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/run_error.h"
#include "converter/options.h"
#include "converter/phases.h"
#include "io/file.h"
#include "loader/layout.h"
#include "loader/record_layout.h"
#include "loader/shipped_layouts.h"

namespace unf2mat {
namespace {

constexpr std::size_t kNameWidth = 80;  // as a control line holds

using enum OptionId;

// What getopt_long returns for a long option: this plus its id. Above any
// character, so that it tells a short option from a long one.
constexpr int kLongOption = 256;

// getopt_long's tables, made from the options' rows. Their names are
// literals, so each ends in the NUL getopt_long reads to.
struct GetoptTables {
  std::string short_options = ":";  // ':' reports a missing argument
  std::vector<option> long_options;

  GetoptTables() {
    for (const OptionRow& row : Options()) {
      const int argument =
          row.argument.empty() ? no_argument : required_argument;
      if (row.short_name != '\0') {
        short_options += row.short_name;
        if (argument == required_argument) short_options += ':';
      }
      long_options.push_back({row.long_name.data(), argument, nullptr,
                              kLongOption + static_cast<int>(row.id)});
    }
    long_options.push_back({nullptr, 0, nullptr, 0});
  }
};

// The option getopt_long returned `c` for; none for ':' and '?'.
std::optional<OptionId> OptionReturned(int c) {
  if (c >= kLongOption) return static_cast<OptionId>(c - kLongOption);
  for (const OptionRow& row : Options()) {
    if (row.short_name != '\0' && row.short_name == c) return row.id;
  }
  return std::nullopt;
}

// The options named in a list: "A, B and C".
std::string Listed(std::initializer_list<OptionId> ids) {
  std::string text;
  std::size_t k = 0;
  for (OptionId id : ids) {
    ++k;
    text += (k == 1 ? "" : k == ids.size() ? " and " : ", ") + Dashed(id);
  }
  return text;
}

std::optional<std::string> ParseSkip(std::string_view text,
                                     std::uint64_t* skip) {
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), *skip);
  if (text.empty() || error != std::errc() ||
      end != text.data() + text.size()) {
    return Dashed(kSkip) + " takes a number of records, not " + Quote(text);
  }
  return std::nullopt;
}

// One of a few named values: option `id`'s argument `text`, a `what`.
template <typename T, std::size_t N>
std::optional<std::string> ParseChoice(
    std::string_view text, const std::pair<std::string_view, T> (&choices)[N],
    OptionId id, std::string_view what, T* value) {
  std::string names;
  for (std::size_t k = 0; k < N; ++k) {
    if (text == choices[k].first) {
      *value = choices[k].second;
      return std::nullopt;
    }
    names += std::string(k == 0       ? ""
                         : k + 1 == N ? " or "
                                      : ", ") +
             std::string(choices[k].first);
  }
  return "unknown " + std::string(what) + " " + Quote(text) + ": " +
         Dashed(id) + " takes " + names;
}

constexpr std::pair<std::string_view, ClassChoice> kClasses[] = {
    {"double", ClassChoice::kDouble},
    {"single", ClassChoice::kSingle},
    {"native", ClassChoice::kNative}};
constexpr std::pair<std::string_view, MatFormat> kFormats[] = {
    {"v6", MatFormat::kV6}, {"v7", MatFormat::kV7}, {"v7.3", MatFormat::kV73}};

std::optional<std::string> ParseLevel(std::string_view text,
                                      std::optional<int>* level) {
  if (text.size() != 1 || text[0] < '1' || text[0] > '9') {
    return Dashed(kLevel) + " takes a deflate level from 1 to 9, not " +
           Quote(text);
  }
  *level = text[0] - '0';
  return std::nullopt;
}

std::optional<std::string> ParseJobs(std::string_view text, std::size_t* jobs) {
  constexpr std::size_t kMostJobs = 1024;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), *jobs);
  if (text.empty() || error != std::errc() ||
      end != text.data() + text.size() || *jobs == 0 || *jobs > kMostJobs) {
    return Dashed(kJobs) + " takes a number of conversions from 1 to " +
           std::to_string(kMostJobs) + ", not " + Quote(text);
  }
  return std::nullopt;
}

// A layout file is read whole; no layout is longer than this.
constexpr std::uint64_t kMaxLayoutFileBytes = std::uint64_t{1} << 20;

// The text of the layout file `path`, or why it cannot be read.
std::optional<std::string> ReadLayoutFile(const std::string& path,
                                          std::string* text) {
  std::unique_ptr<PosixInputFile> file;
  int error = PosixInputFile::Open(path, &file);
  char buffer[65536];
  while (error == 0) {
    const IoResult got = file->Read(buffer, sizeof buffer);
    if (got.error != 0) error = got.error;
    if (got.bytes == 0) break;
    text->append(buffer, got.bytes);
    if (text->size() > kMaxLayoutFileBytes) {
      return "layout file " + Quote(path) + " is longer than " +
             std::to_string(kMaxLayoutFileBytes) + " bytes";
    }
  }
  if (error != 0) return FileError("cannot read layout file", path, error);
  return std::nullopt;
}

// The layout of the whole file: a shipped one by name, a file, or its text.
std::optional<std::string> ParseLayoutOption(
    const std::string& arg, std::shared_ptr<const Layout>* layout) {
  std::string text, origin;
  std::unique_ptr<PosixInputFile> probe;
  if (const ShippedLayout* shipped = FindShippedLayout(arg)) {
    text = shipped->text;
    origin = "layout " + Quote(arg);
  } else if (PosixInputFile::Open(arg, &probe) == 0) {
    probe.reset();
    if (auto error = ReadLayoutFile(arg, &text)) return error;
    origin = "layout file " + Quote(arg);
  } else if (arg.find(':') != std::string::npos) {
    text = arg;
    origin = Dashed(kLayout);
  } else {
    return Dashed(kLayout) + " " + Quote(arg) +
           " is no shipped layout, file or layout text; 'unf2mat " +
           Dashed(kLayout) + " " + std::string(kLayoutList) +
           "' names the shipped ones";
  }
  LayoutOrError parsed = ParseLayoutText(text, std::move(origin));
  if (!parsed.layout) return parsed.error;
  *layout = std::make_shared<const Layout>(std::move(*parsed.layout));
  return std::nullopt;
}

// Why values of `type` cannot all be single: `which` names them.
std::string NotSingle(const std::string& which, ValueType type) {
  return Dashed(kClass) + " single keeps only real4 values exactly, " + which +
         std::string(ValueTypeName(type)) + "; " + Dashed(kClass) +
         " native keeps each as it is";
}

// The options that parse alone may still not go together.
std::optional<std::string> CheckRequest(const CommandLine& line,
                                        bool type_given, bool dims_given) {
  const LoadRequest& request = line.request;
  if (request.layout) {
    if (request.skip > 0 || request.header || request.record) {
      return Dashed(kLayout) + " reads the whole file; " +
             Listed({kSkip, kHeader, kRecord, kDims}) +
             " read parts of it: give the layout alone";
    }
    if (type_given || line.name) {
      return Dashed(kLayout) + " gives each field its type and name; " +
             Listed({kType, kName}) + " are for plain rows";
    }
    if (request.classes == ClassChoice::kSingle) {
      for (const LayoutVariable& variable : request.layout->variables) {
        if (!variable.is_char && variable.type != ValueType::kLogical4 &&
            variable.type != ValueType::kReal4) {
          return NotSingle("but field " + Quote(variable.name) + " is ",
                           variable.type);
        }
      }
    }
    return std::nullopt;
  }
  if (type_given && request.record && !dims_given) {
    return Dashed(kType) + " sets the type of plain rows and of " +
           Dashed(kDims) + "; " + Dashed(kRecord) + " gives each field its own";
  }
  if (line.name && request.record && !dims_given) {
    return Dashed(kName) + " names the variable of plain rows or of " +
           Dashed(kDims) + "; " + Dashed(kRecord) + " names its fields";
  }
  std::vector<const LayoutField*> fields;
  for (const std::optional<RecordLayout>* layout :
       {&request.header, &request.record}) {
    if (!*layout) continue;
    for (const LayoutField& field : (*layout)->fields) {
      if (!field.skipped()) fields.push_back(&field);
    }
  }
  // Each layout has refused a name it gives twice; the two together too.
  for (std::size_t k = 0; k < fields.size(); ++k) {
    for (std::size_t j = 0; j < k; ++j) {
      if (!fields[k]->name.empty() && fields[k]->name == fields[j]->name) {
        return Listed({kHeader, kRecord}) + " both name a field " +
               Quote(fields[k]->name);
      }
    }
  }
  if (request.classes != ClassChoice::kSingle) return std::nullopt;
  for (const LayoutField* field : fields) {
    if (!ClassOf(field->type, ClassChoice::kSingle)) {
      return NotSingle(
          "but field " +
              Quote(field->name.empty() ? Dashed(kDims) : field->name) + " is ",
          field->type);
    }
  }
  if (!request.record && !ClassOf(request.type, ClassChoice::kSingle)) {
    return NotSingle("not ", request.type);
  }
  return std::nullopt;
}

// A longer name would be cut where a control line ends, naming another file.
std::optional<std::string> TakeName(OptionId id, const char* text,
                                    std::optional<std::string>* to) {
  if (std::string_view(text).size() > kNameWidth) {
    return Dashed(id) + " takes a name of at most " +
           std::to_string(kNameWidth) + " characters";
  }
  *to = text;
  return std::nullopt;
}

// The option getopt_long stopped at, for messages: a short one by its
// letter (which "-qn" holds after another), a long one as it was written.
std::string Spelled(char** argv) {
  if (optopt > 0 && optopt < kLongOption) {
    return {'-', static_cast<char>(optopt)};
  }
  return optind > 0 ? argv[optind - 1] : "";
}

std::string TwoRecordLayouts() {
  return Listed({kRecord, kDims}) + " each give the whole record";
}

}  // namespace

std::optional<std::string> ParseCommandLine(int argc, char** argv,
                                            CommandLine* line) {
  static const GetoptTables getopt_tables;
  opterr = 0;  // the messages below say it in one line
  optind = 0;  // from the start, also when parsed again
  std::optional<std::string> error;
  bool type_given = false, dims_given = false;
  for (int c;
       !error &&
       (c = getopt_long(argc, argv, getopt_tables.short_options.c_str(),
                        getopt_tables.long_options.data(), nullptr)) != -1;) {
    const std::optional<OptionId> id = OptionReturned(c);
    if (!id) {
      error = c == ':' ? "option '" + Spelled(argv) + "' needs an argument"
                       : "unknown option '" + Spelled(argv) + "'";
      break;
    }
    switch (*id) {
      case kOutput:
        error = TakeName(kOutput, optarg, &line->output);
        break;
      case kName:
        error = TakeName(kName, optarg, &line->name);
        break;
      case kType:
        if (auto type = ParseValueType(optarg)) {
          line->request.type = *type;
          type_given = true;
        } else {
          error = "unknown value type " + Quote(optarg) + ": " + Dashed(kType) +
                  " takes real4, real8, int4 or int8";
        }
        break;
      case kSkip:
        error = ParseSkip(optarg, &line->request.skip);
        break;
      case kHeader:
        line->request.header.emplace();
        error = ParseLayout(optarg, false, &*line->request.header);
        if (!error && line->request.header->fields.back().open) {
          error = Dashed(kHeader) + " takes no '*'";
        }
        break;
      case kRecord:
        if (line->request.record) {
          error = TwoRecordLayouts();
          break;
        }
        line->request.record.emplace();
        error = ParseLayout(optarg, true, &*line->request.record);
        break;
      case kDims:
        if (line->request.record) {
          error = TwoRecordLayouts();
          break;
        }
        dims_given = true;
        line->request.record.emplace();
        line->request.record->fields.emplace_back();
        error = ParseDims(optarg, &line->request.record->fields.back().dims);
        break;
      case kClass:
        error = ParseChoice(optarg, kClasses, kClass, "class",
                            &line->request.classes);
        break;
      case kJoin:
        line->request.join = true;
        break;
      case kJobs:
        error = ParseJobs(optarg, &line->jobs);
        break;
      case kFormat:
        error = ParseChoice(optarg, kFormats, kFormat, "format",
                            &line->mat_options.format);
        break;
      case kLevel:
        error = ParseLevel(optarg, &line->mat_options.level);
        break;
      case kLayout:
        if (optarg == kLayoutList) {
          line->action = CommandLine::Action::kListLayouts;
          return std::nullopt;
        }
        error = ParseLayoutOption(optarg, &line->request.layout);
        break;
      case kDescribe:
        line->action = CommandLine::Action::kDescribe;
        break;
      case kHelp:
        line->action = CommandLine::Action::kHelp;
        return std::nullopt;
      case kVersion:
        line->action = CommandLine::Action::kVersion;
        return std::nullopt;
      case kQuiet:
        line->quiet = true;
        break;
      case kVerbose:
        line->verbose = true;
        break;
    }
  }
  if (error) return error;
  // The dimensions read values of the type, whichever option came first.
  if (dims_given) line->request.record->fields.back().type = line->request.type;
  if (auto conflict = CheckRequest(*line, type_given, dims_given)) {
    return conflict;
  }
  if (line->mat_options.level && line->mat_options.format == MatFormat::kV6) {
    return Dashed(kLevel) + " compresses " + Dashed(kFormat) +
           " v7 or v7.3; v6 is not compressed";
  }
  line->request.budget =
      line->mat_options.format == MatFormat::kV73 ? nullptr : &kLevel5Budget;
  line->data_files.assign(argv + optind, argv + argc);
  if (line->data_files.empty()) return "no data file given";
  const bool from_stdin =
      std::find(line->data_files.begin(), line->data_files.end(),
                kStandardInput) != line->data_files.end();
  if (from_stdin && !line->output &&
      line->action == CommandLine::Action::kConvert) {
    return "'-' reads the data from standard input, which has no name to "
           "give the MAT-file: name it with " +
           Dashed(kOutput);
  }
  return std::nullopt;
}

}  // namespace unf2mat
