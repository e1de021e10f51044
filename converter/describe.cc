#include "converter/describe.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "converter/run_state.h"
#include "loader/loader.h"
#include "matfile/mat_format.h"
#include "recordio/record_reader.h"

namespace unf2mat {
namespace {

// As many distinct record lengths as are listed; the rest are summed up.
constexpr std::size_t kListedLengths = 32;
// The real8 hint looks at the first values of the file, as 4-byte words.
constexpr std::size_t kSampleWords = 8192;

struct Length {
  std::uint64_t bytes, records, first;
};

// What one walk over the records finds, and what loading would make of it.
struct Survey {
  std::uint64_t records = 0;
  std::uint64_t split = 0;  // records in more than one subrecord
  std::vector<Length> lengths;
  std::uint64_t other_records = 0;  // of lengths past those listed
  bool lengths_of_8 = true;         // every length a multiple of 8 bytes
  std::vector<char> sample;         // the first values, host order
  std::uint64_t rows = 0, columns = 0;
  std::optional<LoadEnd> stop;  // where loading would stop, if before the end
  std::string refusal;          // why a conversion refuses the file
  bool damaged = false;         // the walk ended at damaged framing
  // A conversion's limits: those of the MAT-file's element for a file read
  // where its values lie, those of core from a pipe.
  std::uint64_t record_limit = kRecordCapacity;
  std::uint64_t matrix_limit = kCoreCapacity;
};

void NoteLength(Survey& s, std::uint64_t bytes) {
  s.lengths_of_8 = s.lengths_of_8 && bytes % 8 == 0;
  for (Length& length : s.lengths) {
    if (length.bytes == bytes) {
      ++length.records;
      return;
    }
  }
  if (s.lengths.size() < kListedLengths) {
    s.lengths.push_back({bytes, 1, s.records});
  } else {
    ++s.other_records;
  }
}

// Loading as the loader does it, record by record: the first gives the
// columns, the first shorter one ends the matrix, and the limits refuse.
void NoteLoad(Survey& s, std::uint64_t bytes, std::size_t value_size,
              const RecordReader::LastRecord& last) {
  if (s.records == 1) s.columns = bytes / value_size;
  if (s.stop) return;
  if (bytes < s.columns * value_size) {
    s.stop = LoadEnd{LoadEnd::Reason::kShortRecord,
                     s.records,
                     bytes / value_size,
                     last.offset,
                     0,
                     false};
    return;
  }
  ++s.rows;
  if (s.columns > s.record_limit) {
    s.refusal = "the first record holds " + std::to_string(s.columns) +
                " values, over the limit of " + std::to_string(s.record_limit);
  } else if (s.columns > 0 && s.rows * s.columns > s.matrix_limit) {
    s.refusal =
        "over the limit of " + std::to_string(s.matrix_limit) + " values";
  } else if (s.columns == 0 && s.rows > kCoreCapacity) {
    s.refusal =
        "more than " + std::to_string(kCoreCapacity) + " records of no values";
  }
}

Survey Walk(RecordReader& reader, ValueType type, std::string_view name,
            const Survey& limits) {
  Survey s;
  s.record_limit = limits.record_limit;
  s.matrix_limit = limits.matrix_limit;
  // Only a file read as real4 is looked at for another type.
  if (type == ValueType::kReal4) s.sample.resize(4 * kSampleWords);
  std::size_t sampled = 0;
  for (;;) {
    const std::size_t room = (s.sample.size() - sampled) / reader.value_size();
    std::uint64_t bytes = 0;
    const ReadStatus status =
        reader.ReadRecord(s.sample.data() + sampled, room, &bytes);
    if (status == ReadStatus::kFailed) {
      throw RunError(FileError("cannot read data file", name, reader.error()));
    }
    if (status == ReadStatus::kEnd) break;
    if (status == ReadStatus::kShort) {
      s.damaged = true;
      if (!s.stop) {
        s.stop = LoadEnd{LoadEnd::Reason::kDamaged,
                         s.records + 1,
                         0,
                         reader.last_record().offset,
                         0,
                         false};
      }
      break;
    }
    ++s.records;
    if (reader.last_record().subrecords > 1) ++s.split;
    sampled += std::min<std::uint64_t>(room, bytes / reader.value_size()) *
               reader.value_size();
    NoteLength(s, bytes);
    NoteLoad(s, bytes, reader.value_size(), reader.last_record());
    if (!s.refusal.empty()) break;
  }
  s.sample.resize(sampled);
  return s;
}

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

std::string Report(const std::string& name, const FramingChoice& choice,
                   const Survey& s, ValueType type,
                   std::optional<std::uint64_t> size) {
  std::vector<std::string> lines = {FramingLine(choice)};
  lines.push_back(s.split == 0 ? "subrecords: none"
                               : "subrecords: " + Counted(s.split, "record") +
                                     " split into subrecords");
  lines.push_back("records: " + std::to_string(s.records));
  for (const Length& length : s.lengths) {
    lines.push_back("length: " + Counted(length.bytes, "byte") + " in " +
                    Counted(length.records, "record") + ", first record " +
                    std::to_string(length.first));
  }
  if (s.other_records > 0) {
    lines.push_back("length: others in " + Counted(s.other_records, "record"));
  }
  if (!s.refusal.empty()) {
    lines.push_back("matrix: refused, " + s.refusal);
  } else {
    lines.push_back("matrix: " + std::to_string(s.rows) + " x " +
                    std::to_string(s.columns) + " of " +
                    std::string(ValueTypeName(type)) + " values");
    lines.push_back(s.stop ? "stop: " + StopReason(*s.stop, s.columns)
                           : "stop: none, the whole file loads");
    const std::uint64_t from = s.stop ? s.stop->offset : size.value_or(0);
    lines.push_back(size ? "unread: " + Counted(*size - from, "byte")
                         : "unread: the rest of the file, not read");
  }
  const bool big_endian =
      (std::endian::native == std::endian::big) != choice.framing.swapped;
  if (s.lengths_of_8 && s.other_records == 0 && !s.sample.empty() &&
      LooksLikeReal8(s.sample, big_endian)) {
    lines.push_back(
        "hint: every record length is a multiple of 8 bytes and the values "
        "look like halves of real8 values; --type real8 might be meant");
  }
  std::string text = name + "\n";
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

}  // namespace

void DescribeFile(const std::string& name, ValueType type, OutputFile& out) {
  auto file = OpenDataFile(name);
  RecordReader reader(*file);
  reader.set_value_size(ValueSize(type));
  const std::uint64_t size = ValueSize(type);
  Survey s;
  if (file->Size()) {
    // For a name of at most 4 characters; a longer one holds a little less.
    s.record_limit = s.matrix_limit = mat::MaxMatrixValues(0);
  }
  FramingChoice choice;
  if (reader.DetectFraming(RecordBytesLimit(s.record_limit, size), &choice) ==
      ReadStatus::kFailed) {
    throw RunError(FileError("cannot read data file", name, reader.error()));
  }
  if (choice.first_record_bytes &&
      *choice.first_record_bytes / size > s.record_limit) {
    // From a pipe such a record is not even read.
    s.refusal = "the first record holds " +
                std::to_string(*choice.first_record_bytes / size) +
                " values, over the limit of " + std::to_string(s.record_limit);
  } else {
    s = Walk(reader, type, name, s);
  }
  // A pipe read to its end has told its size too.
  std::optional<std::uint64_t> total;
  if (auto left = reader.BytesLeft()) {
    total = reader.position() + *left;
  } else if (!s.damaged) {
    total = reader.position();
  }
  const std::string text = Report(Escape(name), choice, s, type, total);
  if (int error = out.Write(text.data(), text.size()); error != 0) {
    throw RunError(std::string("cannot write standard output: ") +
                   std::strerror(error));
  }
}

}  // namespace unf2mat
