#include "converter/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <memory>
#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

#include "common/run_error.h"
#include "io/file.h"
#include "loader/layout.h"
#include "loader/record_layout.h"
#include "loader/shipped_layouts.h"

namespace unf2mat {
namespace {

constexpr std::size_t kNameWidth = 80;  // as a control line holds

enum : int {
  kDescribeOption = 256,
  kVersionOption,
  kSkipOption,
  kHeaderOption,
  kRecordOption,
  kDimsOption,
  kClassOption,
  kJoinOption,
  kFormatOption,
  kLevelOption,
  kLayoutOption
};

const option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"name", required_argument, nullptr, 'n'},
    {"type", required_argument, nullptr, 't'},
    {"describe", no_argument, nullptr, kDescribeOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"skip", required_argument, nullptr, kSkipOption},
    {"header", required_argument, nullptr, kHeaderOption},
    {"record", required_argument, nullptr, kRecordOption},
    {"dims", required_argument, nullptr, kDimsOption},
    {"class", required_argument, nullptr, kClassOption},
    {"join", no_argument, nullptr, kJoinOption},
    {"format", required_argument, nullptr, kFormatOption},
    {"jobs", required_argument, nullptr, 'j'},
    {"level", required_argument, nullptr, kLevelOption},
    {"layout", required_argument, nullptr, kLayoutOption},
    {nullptr, 0, nullptr, 0},
};

std::optional<std::string> ParseSkip(std::string_view text,
                                     std::uint64_t* skip) {
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), *skip);
  if (text.empty() || error != std::errc() ||
      end != text.data() + text.size()) {
    return "--skip takes a number of records, not " + Quote(text);
  }
  return std::nullopt;
}

// One of a few named values: `option`'s argument `text`, a `what`.
template <typename T, std::size_t N>
std::optional<std::string> ParseChoice(
    std::string_view text, const std::pair<std::string_view, T> (&choices)[N],
    std::string_view option, std::string_view what, T* value) {
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
         std::string(option) + " takes " + names;
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
    return "--level takes a deflate level from 1 to 9, not " + Quote(text);
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
    return "--jobs takes a number of conversions from 1 to " +
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

// The layout --layout gives: a shipped one by name, a file, or its text.
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
    origin = "--layout";
  } else {
    return "--layout " + Quote(arg) +
           " is no shipped layout, file or layout text; 'unf2mat --layout "
           "list' names the shipped ones";
  }
  LayoutOrError parsed = ParseLayoutText(text, std::move(origin));
  if (!parsed.layout) return parsed.error;
  *layout = std::make_shared<const Layout>(std::move(*parsed.layout));
  return std::nullopt;
}

// The options that parse alone may still not go together.
std::optional<std::string> CheckRequest(const CommandLine& line,
                                        bool type_given, bool dims_given) {
  const LoadRequest& request = line.request;
  if (request.layout) {
    if (request.skip > 0 || request.header || request.record) {
      return std::string(
          "--layout reads the whole file; --skip, --header, --record and "
          "--dims read parts of it: give the layout alone");
    }
    if (type_given || line.name) {
      return std::string(
          "--layout gives each field its type and name; --type and --name are "
          "for plain rows");
    }
    if (request.classes == ClassChoice::kSingle) {
      for (const LayoutVariable& variable : request.layout->variables) {
        if (!variable.is_char && variable.type != ValueType::kLogical4 &&
            variable.type != ValueType::kReal4) {
          return "--class single keeps only real4 values exactly, but field " +
                 Quote(variable.name) + " is " +
                 std::string(ValueTypeName(variable.type)) +
                 "; --class native keeps each as it is";
        }
      }
    }
    return std::nullopt;
  }
  if (type_given && request.record && !dims_given) {
    return std::string(
        "--type sets the type of plain rows and of --dims; --record gives "
        "each field its own");
  }
  if (line.name && request.record && !dims_given) {
    return std::string(
        "--name names the variable of plain rows or of --dims; --record names "
        "its fields");
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
        return "--header and --record both name a field " +
               Quote(fields[k]->name);
      }
    }
  }
  if (request.classes != ClassChoice::kSingle) return std::nullopt;
  for (const LayoutField* field : fields) {
    if (!ClassOf(field->type, ClassChoice::kSingle)) {
      return "--class single keeps only real4 values exactly, but field " +
             Quote(field->name.empty() ? "--dims" : field->name) + " is " +
             std::string(ValueTypeName(field->type)) +
             "; --class native keeps each as it is";
    }
  }
  if (!request.record && !ClassOf(request.type, ClassChoice::kSingle)) {
    return "--class single keeps only real4 values exactly, not " +
           std::string(ValueTypeName(request.type)) +
           "; --class native keeps each as it is";
  }
  return std::nullopt;
}

// A longer name would be cut where a control line ends, naming another file.
std::optional<std::string> TakeName(const char* option, const char* text,
                                    std::optional<std::string>* to) {
  if (std::string_view(text).size() > kNameWidth) {
    return std::string(option) + " takes a name of at most " +
           std::to_string(kNameWidth) + " characters";
  }
  *to = text;
  return std::nullopt;
}

// The option as the user wrote it, for messages.
std::string Spelled(char** argv, int index) {
  return index > 0 ? argv[index - 1] : "";
}

}  // namespace

std::optional<std::string> ParseCommandLine(int argc, char** argv,
                                            CommandLine* line) {
  opterr = 0;  // the messages below say it in one line
  optind = 0;  // from the start, also when parsed again
  std::optional<std::string> error;
  bool type_given = false, dims_given = false;
  for (int c; !error && (c = getopt_long(argc, argv, ":o:n:t:j:hqv", kOptions,
                                         nullptr)) != -1;) {
    switch (c) {
      case 'o':
        error = TakeName("--output", optarg, &line->output);
        break;
      case 'n':
        error = TakeName("--name", optarg, &line->name);
        break;
      case 't':
        if (auto type = ParseValueType(optarg)) {
          line->request.type = *type;
          type_given = true;
        } else {
          error = "unknown value type '" + std::string(optarg) +
                  "': --type takes real4, real8, int4 or int8";
        }
        break;
      case kSkipOption:
        error = ParseSkip(optarg, &line->request.skip);
        break;
      case kHeaderOption:
        line->request.header.emplace();
        error = ParseLayout(optarg, false, &*line->request.header);
        if (!error && line->request.header->fields.back().open) {
          error = "--header takes no '*'";
        }
        break;
      case kRecordOption:
        if (line->request.record) {
          error = std::string("--record and --dims each give the whole record");
          break;
        }
        line->request.record.emplace();
        error = ParseLayout(optarg, true, &*line->request.record);
        break;
      case kDimsOption:
        if (line->request.record) {
          error = std::string("--record and --dims each give the whole record");
          break;
        }
        dims_given = true;
        line->request.record.emplace();
        line->request.record->fields.emplace_back();
        error = ParseDims(optarg, &line->request.record->fields.back().dims);
        break;
      case kClassOption:
        error = ParseChoice(optarg, kClasses, "--class", "class",
                            &line->request.classes);
        break;
      case kJoinOption:
        line->request.join = true;
        break;
      case 'j':
        error = ParseJobs(optarg, &line->jobs);
        break;
      case kFormatOption:
        error = ParseChoice(optarg, kFormats, "--format", "format",
                            &line->mat_options.format);
        break;
      case kLevelOption:
        error = ParseLevel(optarg, &line->mat_options.level);
        break;
      case kLayoutOption:
        if (std::string_view(optarg) == "list") {
          line->action = CommandLine::Action::kListLayouts;
          return std::nullopt;
        }
        error = ParseLayoutOption(optarg, &line->request.layout);
        break;
      case kDescribeOption:
        line->action = CommandLine::Action::kDescribe;
        break;
      case 'h':
        line->action = CommandLine::Action::kHelp;
        return std::nullopt;
      case kVersionOption:
        line->action = CommandLine::Action::kVersion;
        return std::nullopt;
      case 'q':
        line->quiet = true;
        break;
      case 'v':
        line->verbose = true;
        break;
      case ':':
        error = "option '" + Spelled(argv, optind) + "' needs an argument";
        break;
      default:
        error = "unknown option '" +
                (optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt))
                             : Spelled(argv, optind)) +
                "'";
    }
  }
  if (error) return error;
  // --dims reads values of --type, whichever came first.
  if (dims_given) line->request.record->fields.back().type = line->request.type;
  if (auto conflict = CheckRequest(*line, type_given, dims_given)) {
    return conflict;
  }
  if (line->mat_options.level && line->mat_options.format == MatFormat::kV6) {
    return std::string(
        "--level compresses --format v7 or v7.3; v6 is not compressed");
  }
  line->request.level5 = line->mat_options.format != MatFormat::kV73;
  line->data_files.assign(argv + optind, argv + argc);
  if (line->data_files.empty()) return "no data file given";
  const bool from_stdin =
      std::find(line->data_files.begin(), line->data_files.end(),
                kStandardInput) != line->data_files.end();
  if (from_stdin && !line->output &&
      line->action == CommandLine::Action::kConvert) {
    return "'-' reads the data from standard input, which has no name to "
           "give the MAT-file: name it with --output";
  }
  return std::nullopt;
}

}  // namespace unf2mat
