// One walk over every record of a data file, with what loading would make of
// it: for --describe, which must say what a conversion would do.
#ifndef UNF2MAT_LOADER_SURVEY_H_
#define UNF2MAT_LOADER_SURVEY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value_type.h"
#include "loader/load_rules.h"
#include "recordio/record_reader.h"

namespace unf2mat {

struct Survey {
  // A record length, how many records have it, and the first that does.
  struct Length {
    std::uint64_t bytes, records, first;
  };

  FramingChoice choice;
  std::uint64_t records = 0;    // whole records, up to the end or the damage
  std::uint64_t split = 0;      // records in more than one subrecord
  std::vector<Length> lengths;  // the first kListedLengths distinct ones
  std::uint64_t other_records = 0;  // of lengths past those listed
  bool lengths_of_8 = true;         // every length a multiple of 8 bytes
  std::vector<char> sample;  // the first values, as 4-byte words, host order
  // What loading would make of it: rows and columns and where it would stop,
  // unless it refuses the file (then why).
  std::uint64_t rows = 0, columns = 0;
  LoadEnd end{};
  std::optional<Refusal> refusal;
  // Bytes of the file, where known: of a pipe, once read to its end.
  std::optional<std::uint64_t> size;

  static constexpr std::size_t kListedLengths = 32;
  static constexpr std::size_t kSampleWords = 8192;
};

// Walks every record `reader` reads, putting each data record of `plan` to
// the rules of loading with `limits`; a file refused by its first record's
// markers is not walked. `sample_words` 4-byte words of the first values,
// of `type`, are kept. A failed read ends the run.
Survey SurveyRecords(RecordReader& reader, std::string_view name,
                     ValueType type, const RecordPlan& plan,
                     const LoadLimits& limits, std::size_t sample_words = 0);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_SURVEY_H_
