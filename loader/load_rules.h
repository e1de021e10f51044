// The rules of loading, in one place. The layout walk (layout_walk.h) hands
// every record of a data file to LoadRules, whatever the layout (the plain
// rows of the six control lines included), for a conversion and for
// --describe alike, and it alone says what becomes of it: taken, the end of
// loading (a record shorter than the layout, damaged framing, a file that
// ends inside a group), or a refusal (a limit passed). It alone builds
// LoadEnd and owns the limits.
#ifndef UNF2MAT_LOADER_LOAD_RULES_H_
#define UNF2MAT_LOADER_LOAD_RULES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/store_capacity.h"
#include "matfile/element_budget.h"

namespace unf2mat {

// Records of no values cost nothing to store, but an endless source of them
// (a device of zero bytes, a pipe) must end soon; so must a group that reads
// no record, repeated a count of times the file gives.
inline constexpr std::uint64_t kMaxEmptyRecords = kCoreCapacity;

// A variable's bounds, in values: in its first value read where a '*'
// dimension is fixed by it, and in all; past them the file is refused.
struct LoadLimits {
  LoadLimits(std::uint64_t record = kRecordCapacity,
             std::uint64_t matrix = kCoreCapacity, std::string how_to_lift = "")
      : record_values(record),
        matrix_values(matrix),
        hint(std::move(how_to_lift)) {}

  std::uint64_t record_values;
  std::uint64_t matrix_values;
  std::string hint;  // follows a refusal: how the limit may be lifted
  // Reads of the variable: a dimension of the array they stack into.
  std::uint64_t max_rows = UINT64_MAX;
};

// Follows a refusal for a Level 5 element's size.
inline constexpr std::string_view kLevel5Hint =
    "; --format v7.3 writes one that MATLAB loads";

// The limits of a matrix of doubles in one element of `budget`, for a
// variable name of `name_length` bytes.
LoadLimits ElementLimits(const ElementBudget& budget,
                         std::uint64_t name_length);
// Whether a rows x columns matrix keeps within `limits`.
bool Within(const LoadLimits& limits, std::uint64_t rows,
            std::uint64_t columns);

// Where and why loading stopped. kEnd: it read the data file to its end.
struct LoadEnd {
  enum class Reason : std::uint8_t {
    kEnd,
    kShortRecord,  // shorter than the layout reads of it
    kDamaged,      // its framing is damaged
    kEndOfFile,    // the file ends inside a repetition of a group
    kNoBranch,     // no branch of an either reads a record of its length
  };
  Reason reason;
  std::uint64_t record;  // the record that stopped it, numbered from 1
  std::uint64_t values;  // the whole values that record holds (plain rows)
  std::uint64_t offset;  // where that record starts in the data file
  std::uint64_t unread;  // bytes of the data file from `offset` to its end
  bool unread_known;     // false where the rest (of a pipe) was not read
  // Of a record read by a layout: its bytes, and the layout's (kShortRecord).
  std::uint64_t bytes = 0;
  std::uint64_t layout_bytes = 0;
  // Of a layout of the whole file: the line of the statement, and the first
  // record of the repetition dropped with the record that stopped it (0:
  // none was).
  int line = 0;
  std::uint64_t dropped_from = 0;

  bool operator==(const LoadEnd&) const = default;
};

// The limit a refused file passes.
struct Refusal {
  enum class Limit : std::uint8_t {
    kFirstRecord,   // an open field's first record: its values
    kMatrix,        // the plain rows' values
    kEmptyRecords,  // rows or repetitions of no values
    kRecords,       // a variable's values, said in its records
  };
  Limit limit;
  std::uint64_t values;  // of the first record (kFirstRecord)
  std::uint64_t bound;   // the limit
  std::string field;     // the variable that passes it, where one does

  // As --describe says it: "the first record holds 12 values, over the limit
  // of 10".
  std::string Reason() const;
  // As a conversion of data file `name` says it, with how to lift the limit.
  std::string Message(std::string_view name, std::string_view hint) const;
};

// A record as the walk finds it, for the numbers a stop names.
struct RecordAt {
  std::uint64_t number;  // from 1
  std::uint64_t offset;
  std::uint64_t bytes = 0;
};

// What a layout reads of a record: its bytes, or, of a record of plain rows,
// the values of `value_bytes` each (said in values, not bytes).
struct RecordNeed {
  std::uint64_t bytes = 0;
  std::uint64_t value_bytes = 0;  // plain rows only
  int line = 0;                   // of the statement that reads it
};

class LoadRules {
 public:
  enum class Verdict { kTake, kStop, kRefuse };

  // `file_size`, where known, tells how much of the file a stop leaves
  // unread; `hint` follows a refusal of a variable's size.
  explicit LoadRules(std::optional<std::uint64_t> file_size,
                     std::string hint = "")
      : file_size_(file_size), hint_(std::move(hint)) {}

  // An open field's first record, whose markers claim it gives `steps`
  // steps, before any of it is read: kRefuse past `limits`, else kTake.
  Verdict Claim(std::uint64_t steps, const LoadLimits& limits,
                const std::string& field);
  // A record read whole, of which the layout reads `need`: kStop where it is
  // shorter.
  Verdict Record(const RecordAt& record, const RecordNeed& need);
  // A variable read `reads` times now holds `after` values, `each` a read:
  // kRefuse past its limits. Plain rows are said as a matrix.
  Verdict Grow(std::uint64_t reads, std::uint64_t after, std::uint64_t each,
               const LoadLimits& limits, const std::string& field,
               bool plain_rows);
  // `n` more repetitions (or plain rows) of no values: kRefuse past their
  // limit.
  Verdict Empty(std::uint64_t n);
  // The record at `record` has damaged framing.
  void Damaged(const RecordAt& record);
  // The file ends, at `record`, inside a repetition of a group of `line`.
  void EndOfFile(const RecordAt& record, int line);
  // No branch of the either at `line` reads a record of its length.
  void NoBranch(const RecordAt& record, int line);
  // The stop just said drops the records of its repetition from `first`.
  void Dropped(std::uint64_t first) { end_.dropped_from = first; }

  // Stopped or refused: no record is taken any more.
  bool done() const { return done_; }
  const LoadEnd& end() const { return end_; }
  // What was passed, after kRefuse.
  const Refusal& refusal() const { return refusal_; }
  // The conversion's message for that refusal, of data file `name`.
  std::string RefusalMessage(std::string_view name) const;

 private:
  Verdict Refuse(Refusal refusal);
  void Stop(LoadEnd::Reason reason, const RecordAt& record,
            const RecordNeed& need);

  std::optional<std::uint64_t> file_size_;
  std::string hint_;
  std::uint64_t empty_ = 0;
  bool done_ = false;
  LoadEnd end_{};
  Refusal refusal_{};
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_RULES_H_
