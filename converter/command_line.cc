#include "converter/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <string_view>

namespace unf2mat {
namespace {

constexpr std::size_t kNameWidth = 80;  // as a control line holds

enum : int { kDescribeOption = 256, kVersionOption };

const option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"name", required_argument, nullptr, 'n'},
    {"type", required_argument, nullptr, 't'},
    {"describe", no_argument, nullptr, kDescribeOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

std::optional<ValueType> ParseType(std::string_view text) {
  for (ValueType type :
       {ValueType::kReal4, ValueType::kReal8, ValueType::kInt4}) {
    if (text == ValueTypeName(type)) return type;
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
  for (int c; !error && (c = getopt_long(argc, argv, ":o:n:t:hqv", kOptions,
                                         nullptr)) != -1;) {
    switch (c) {
      case 'o':
        error = TakeName("--output", optarg, &line->output);
        break;
      case 'n':
        error = TakeName("--name", optarg, &line->name);
        break;
      case 't':
        if (auto type = ParseType(optarg)) {
          line->type = *type;
        } else {
          error = "unknown value type '" + std::string(optarg) +
                  "': --type takes real4, real8 or int4";
        }
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
  line->data_files.assign(argv + optind, argv + argc);
  if (line->data_files.empty()) return "no data file given";
  if (line->output && line->data_files.size() > 1) {
    return "--output names one MAT-file, but " +
           std::to_string(line->data_files.size()) + " data files are given";
  }
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
