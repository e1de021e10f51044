#include "converter/describe.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "common/run_error.h"
#include "converter/options.h"
#include "loader/layout_guess.h"
#include "loader/load_messages.h"
#include "loader/survey.h"
#include "loader/value_sample.h"
#include "loader/variables.h"

namespace unf2mat {
namespace {

std::string FramingLine(const FramingChoice& choice) {
  std::string line = "framing: " + record::Describe(choice.framing);
  switch (choice.basis) {
    case FramingChoice::Basis::kVerified:
      break;
    case FramingChoice::Basis::kAmbiguous:
      line += " (not proved: the first records fit more than one framing)";
      break;
    case FramingChoice::Basis::kNoneFits:
      line += " (assumed: no framing fits the first record)";
      break;
  }
  return line;
}

// A first record unlike all the others, which agree: most likely a header.
std::string HeaderHint(const Survey& s, ValueType type) {
  if (s.lengths.size() != 2 || s.lengths[0].records != 1 ||
      s.other_records != 0) {
    return "";
  }
  const Survey::Length& data = s.lengths[1];
  return "hint: the first record holds " + Counted(s.lengths[0].bytes, "byte") +
         " and the " + std::to_string(data.records) + " after it " +
         Counted(data.bytes, "byte") + " each; a header record? " +
         Dashed(OptionId::kSkip) + " 1 reads " + std::to_string(data.records) +
         " x " + std::to_string(data.bytes / ValueSize(type));
}

std::string DimsText(const std::vector<std::uint64_t>& dims) {
  std::string text;
  for (std::uint64_t dim : dims) {
    text += (text.empty() ? "" : " x ") + std::to_string(dim);
  }
  return text;
}

// "5 x 3 x 4, single", "2 x 1 cell of 3 x 4 double, 2 x 2 double".
std::string ShapeText(const VariableShape& shape) {
  if (shape.cell) {
    std::string text = DimsText(shape.dims) + " cell";
    for (std::size_t k = 0; k < shape.cells.size(); ++k) {
      text += (k == 0 ? " of " : "; ") + ShapeText(shape.cells[k]);
    }
    return text;
  }
  return DimsText(shape.dims) + ", " + std::string(ClassName(shape.mat_class)) +
         (shape.complex ? " complex" : "");
}

// The data file as the word of a command: none for standard input, which
// has no name to give the MAT-file, nor for a name a line cannot hold.
std::optional<std::string> FileWord(const std::string& name) {
  if (name == "-" || std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      })) {
    return std::nullopt;
  }
  return ShellWord(name.starts_with("-") ? "./" + name : name);
}

std::string Report(const DataInput& input, const LoadRequest& request,
                   const Layout& layout, const Survey& s,
                   const std::vector<std::string>& spool_dirs) {
  const WalkResult& walk = s.placed.walk;
  const ValueType type = request.type;
  std::vector<std::string> lines = {FramingLine(s.placed.choice)};
  lines.push_back(s.split == 0 ? "subrecords: none"
                               : "subrecords: " + Counted(s.split, "record") +
                                     " split into subrecords");
  lines.push_back("records: " + std::to_string(s.records));
  for (const Survey::Length& length : s.lengths) {
    lines.push_back("length: " + Counted(length.bytes, "byte") + " in " +
                    Counted(length.records, "record") + ", first record " +
                    std::to_string(length.first));
  }
  if (s.other_records > 0) {
    lines.push_back("length: others in " + Counted(s.other_records, "record"));
  }
  const bool stopped = walk.end.reason != LoadEnd::Reason::kEnd;
  const bool plain = layout.rows && layout.variables.size() == 1;
  if (walk.refusal) {
    lines.push_back((plain ? "matrix: refused, " : "variables: refused, ") +
                    walk.refusal->Reason());
  } else if (!walk.refusal_message.empty()) {
    lines.push_back("variables: refused, " + walk.refusal_message);
  } else {
    if (plain) {
      lines.push_back("matrix: " + std::to_string(walk.rows) + " x " +
                      std::to_string(walk.columns) + " of " +
                      std::string(ValueTypeName(type)) + " values");
    } else {
      for (const VariableShape& shape :
           VariableShapes(input, request, layout, s.placed)) {
        lines.push_back("variable: " + Escape(shape.name) + ", " +
                        ShapeText(shape));
      }
    }
    lines.push_back(
        stopped ? "stop: " + StopReason(walk.end, walk.columns, layout.origin)
                : "stop: none, the whole file loads");
    const std::uint64_t from = stopped ? walk.end.offset : s.size.value_or(0);
    lines.push_back(
        s.size ? "unread: " + Counted(*s.size - std::min(from, *s.size), "byte")
               : "unread: the rest of the file, not read");
  }
  // Only plain rows read as real4 are looked at for another type.
  const bool rows4 = type == ValueType::kReal4 && layout.rows &&
                     !request.layout && !walk.refusal &&
                     walk.refusal_message.empty();
  if (rows4) {
    const std::string look =
        LookText(JudgeRows(s.placed, *layout.rows), BigEndian(s.placed));
    if (!look.empty()) lines.push_back("hint: the values " + look);
  }
  // Of a file read as plain rows of real4 with no other options: a command
  // that reads it whole, or, short of one, what its first record may be.
  std::string suggestion;
  if (rows4 && plain && request.skip == 0 && !request.header &&
      !request.record) {
    const std::optional<std::string> file = FileWord(input.file);
    const std::string options =
        file ? GuessOptions(s, *layout.rows, input.file, spool_dirs) : "";
    if (!options.empty())
      suggestion = "suggest: unf2mat " + options + " " + *file;
  }
  if (!suggestion.empty()) {
    lines.push_back(suggestion);
  } else if (plain && !request.layout && request.skip == 0) {
    if (const std::string hint = HeaderHint(s, type); !hint.empty()) {
      lines.push_back(hint);
    }
  }
  std::string text = Escape(input.file) + "\n";
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

}  // namespace

void DescribeFile(std::unique_ptr<InputFile> file, const DataInput& input,
                  const LoadRequest& request,
                  const std::vector<std::string>& spool_dirs, OutputFile& out) {
  const std::shared_ptr<const Layout> layout = LayoutOf(request);
  const Survey survey =
      SurveyFile(std::move(file), input.file, *layout,
                 VariableLimits(request, *layout, input), spool_dirs);
  const std::string text = Report(input, request, *layout, survey, spool_dirs);
  if (int error = out.Write(text.data(), text.size()); error != 0) {
    throw RunError(std::string("cannot write standard output: ") +
                   std::strerror(error));
  }
}

}  // namespace unf2mat
