#include "converter/describe.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "common/run_error.h"
#include "loader/load_messages.h"
#include "loader/survey.h"
#include "loader/variables.h"

namespace unf2mat {
namespace {

// The biased exponent of a real4: 255 for a NaN or an infinity.
int Exponent(std::uint32_t bits) { return (bits >> 23) & 0xff; }

// Real8 values read as real4 come in halves: the high half (sign, exponent,
// leading fraction bits) reads as numbers of few orders of magnitude, the low
// half as bits that are zero (round numbers) or noise, of any magnitude. The
// test: no high half is a NaN or an infinity; and the low halves are all
// zero while some high half is not, or, zeros left out, their exponents span
// 32 binary orders at least and 4 times as many as the high halves' do. Real4
// data whose alternate values differ so is rare.
bool LooksLikeReal8(const std::vector<char>& sample, bool big_endian) {
  int high_min = 255, high_max = 0, low_min = 255, low_max = 0;
  bool all_low_zero = true, some_high_nonzero = false;
  for (std::size_t k = 0; k + 8 <= sample.size(); k += 8) {
    std::uint32_t first, second;
    std::memcpy(&first, sample.data() + k, 4);
    std::memcpy(&second, sample.data() + k + 4, 4);
    const std::uint32_t high = (big_endian ? first : second) & 0x7fffffff;
    const std::uint32_t low = (big_endian ? second : first) & 0x7fffffff;
    if (Exponent(high) == 255) return false;
    if (high != 0) {
      some_high_nonzero = true;
      high_min = std::min(high_min, Exponent(high));
      high_max = std::max(high_max, Exponent(high));
    }
    if (low != 0) {
      all_low_zero = false;
      low_min = std::min(low_min, Exponent(low));
      low_max = std::max(low_max, Exponent(low));
    }
  }
  if (!some_high_nonzero) return false;
  if (all_low_zero) return true;
  const int low_span = low_max - low_min;
  return low_span >= 32 && low_span >= 4 * (high_max - high_min);
}

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
         Counted(data.bytes, "byte") +
         " each; a header record? --skip 1 reads " +
         std::to_string(data.records) + " x " +
         std::to_string(data.bytes / ValueSize(type));
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

std::string Report(const DataInput& input, const LoadRequest& request,
                   const Layout& layout, const Survey& s) {
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
    lines.push_back(stopped ? "stop: " + StopReason(walk.end, walk.columns,
                                                    layout.origin)
                            : "stop: none, the whole file loads");
    const std::uint64_t from = stopped ? walk.end.offset : s.size.value_or(0);
    lines.push_back(s.size ? "unread: " + Counted(*s.size - std::min(from, *s.size),
                                                  "byte")
                           : "unread: the rest of the file, not read");
  }
  const bool big_endian = (std::endian::native == std::endian::big) !=
                          s.placed.choice.framing.swapped;
  if (s.lengths_of_8 && s.other_records == 0 && !s.sample.empty() &&
      LooksLikeReal8(s.sample, big_endian)) {
    lines.push_back(
        "hint: every record length is a multiple of 8 bytes and the values "
        "look like halves of real8 values; --type real8 might be meant");
  }
  if (plain && !request.layout && request.skip == 0) {
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
                  const std::vector<std::string>& spool_dirs,
                  OutputFile& out) {
  const std::shared_ptr<const Layout> layout = LayoutOf(request);
  // Only plain rows read as real4 are looked at for another type.
  const bool sampled = request.type == ValueType::kReal4 && layout->rows &&
                       !request.layout;
  const Survey survey =
      SurveyFile(std::move(file), input.file, *layout,
                 VariableLimits(request, *layout, input), spool_dirs,
                 sampled ? Survey::kSampleWords : 0);
  const std::string text = Report(input, request, *layout, survey);
  if (int error = out.Write(text.data(), text.size()); error != 0) {
    throw RunError(std::string("cannot write standard output: ") +
                   std::strerror(error));
  }
}

}  // namespace unf2mat
