// The rules of loading, in one place. Every way of loading (into memory, from
// the records' places in the file) and --describe hand the records to
// LoadRules one by one, and it alone says what becomes of each: the first
// record fixes the width; a shorter record, or one whose framing is damaged,
// ends the matrix; past a limit the file is refused. It alone builds LoadEnd
// and owns the limits.
#ifndef UNF2MAT_LOADER_LOAD_RULES_H_
#define UNF2MAT_LOADER_LOAD_RULES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace unf2mat {

// The values a matrix held in memory may have: in its first record, and in
// all. They size the record buffer and the matrix store too.
inline constexpr std::uint64_t kRecordCapacity = 10'000'000;
inline constexpr std::uint64_t kCoreCapacity = 50'000'000;
// Records of no values cost nothing to store, but an endless source of them
// (a device of zero bytes, a pipe) must end soon.
inline constexpr std::uint64_t kMaxEmptyRecords = kCoreCapacity;

struct LoadLimits {
  LoadLimits(std::uint64_t record = kRecordCapacity,
             std::uint64_t matrix = kCoreCapacity, std::string how_to_lift = "")
      : record_values(record),
        matrix_values(matrix),
        hint(std::move(how_to_lift)) {}

  // Steps of the first record (its values, for plain rows); of all rows.
  std::uint64_t record_values;
  std::uint64_t matrix_values;
  std::string hint;  // follows a refusal: how the limit may be lifted
  // Rows, whatever their width: what the variables of a layout hold.
  std::uint64_t max_rows = UINT64_MAX;
};

// What of each data record makes its row: `fixed_bytes`, then as many steps
// of `step_bytes` as the first record holds whole. Plain rows are steps of
// one value; a layout is fixed, but for an open last field.
struct RowShape {
  std::uint64_t fixed_bytes = 0;
  std::uint64_t step_bytes = 4;
  bool by_layout = false;  // a short record is said in bytes, not values
};

// Follows a refusal for a Level 5 element's size.
inline constexpr std::string_view kLevel5Hint =
    "; --format v7.3 writes one that MATLAB loads";

// The limits of a matrix read where its values lie: what the MAT-file's one
// element holds for a variable name of `name_length` bytes.
LoadLimits ElementLimits(std::uint64_t name_length);
// Whether a rows x columns matrix keeps within `limits`.
bool Within(const LoadLimits& limits, std::uint64_t rows,
            std::uint64_t columns);

// How the records of a data file are read: the first `skip` not at all, the
// next one as a header where `header_bytes` are wanted of it, and the rest
// as rows of `row`.
struct RecordPlan {
  std::uint64_t skip = 0;
  std::optional<std::uint64_t> header_bytes;
  RowShape row;

  std::uint64_t records_before() const { return skip + (header_bytes ? 1 : 0); }
};

// Plain rows of values of `type`, the first record's length their width.
inline RecordPlan PlainRows(std::size_t value_size) {
  return {0, std::nullopt, RowShape{0, value_size}};
}

// Where and why loading stopped. kEnd: it read the data file to its end.
struct LoadEnd {
  enum class Reason : std::uint8_t { kEnd, kShortRecord, kDamaged };
  Reason reason;
  std::uint64_t record;  // the record that stopped it, numbered from 1
  std::uint64_t values;  // the whole values that record holds (kShortRecord)
  std::uint64_t offset;  // where that record starts in the data file
  std::uint64_t unread;  // bytes of the data file from `offset` to its end
  bool unread_known;     // false where the rest (of a pipe) was not read
  // Of a record read by a layout: its bytes, and the layout's (kShortRecord).
  std::uint64_t bytes = 0;
  std::uint64_t layout_bytes = 0;

  bool operator==(const LoadEnd&) const = default;
};

// The limit a refused file passes.
struct Refusal {
  enum class Limit : std::uint8_t {
    kFirstRecord,
    kMatrix,
    kEmptyRecords,
    kRecords
  };
  Limit limit;
  std::uint64_t values;  // of the first record (kFirstRecord)
  std::uint64_t bound;   // the limit

  // As --describe says it: "the first record holds 12 values, over the limit
  // of 10".
  std::string Reason() const;
  // As a conversion of data file `name` says it, with how to lift the limit.
  std::string Message(std::string_view name, std::string_view hint) const;
};

class LoadRules {
 public:
  enum class Verdict { kTake, kStop, kRefuse };

  // `file_size`, where known, tells how much of the file a stop leaves
  // unread.
  LoadRules(LoadLimits limits, std::size_t value_size,
            std::optional<std::uint64_t> file_size)
      : LoadRules(std::move(limits), RowShape{0, value_size}, 0, file_size) {}
  // Rows of `shape`, from data records that follow `records_before` others
  // (skipped, or a header), for the numbers a stop names.
  LoadRules(LoadLimits limits, RowShape shape, std::uint64_t records_before,
            std::optional<std::uint64_t> file_size);

  // The longest first record that may be loaded, in bytes: its whole values
  // within the limit, and a partial value after them.
  std::uint64_t first_record_bytes_limit() const;
  // How far ahead a stream is looked at for its first record: as far as a
  // record of a matrix held in memory may be.
  std::uint64_t stream_lookahead_bytes() const;
  // A first record whose markers claim `bytes` before any of it is read:
  // kRefuse past the limit; else kTake, and nothing is counted.
  Verdict Claim(std::uint64_t bytes);
  // The next record, read whole: `bytes` long, starting at `offset`.
  Verdict Record(std::uint64_t bytes, std::uint64_t offset);
  // `n` more records, each a repeat of the last one taken (record::Repeat).
  Verdict Repeats(std::uint64_t n);
  // The next record, at `offset`, has damaged framing.
  void Damaged(std::uint64_t offset);

  // Steps per row (values, for plain rows), once the first record is taken.
  std::uint64_t width() const { return width_; }
  // The bytes of each record that make its row.
  std::uint64_t row_bytes() const {
    return shape_.fixed_bytes + width_ * shape_.step_bytes;
  }
  std::uint64_t rows() const { return rows_; }
  // Rows that may still be taken before a limit; one more tells a file that
  // fits from one that does not.
  std::uint64_t room() const;
  // Stopped or refused: no record is taken any more.
  bool done() const { return done_; }
  const LoadEnd& end() const { return end_; }
  // What was passed, after kRefuse.
  const Refusal& refusal() const { return refusal_; }
  // The conversion's message for that refusal, of data file `name`.
  std::string RefusalMessage(std::string_view name) const;

 private:
  Verdict Refuse(Refusal::Limit limit, std::uint64_t values,
                 std::uint64_t bound);
  // The check after rows were taken.
  Verdict CheckMatrix();
  void Stop(LoadEnd::Reason reason, std::uint64_t bytes, std::uint64_t offset);
  // Whole steps in a first record of `bytes`.
  std::uint64_t Steps(std::uint64_t bytes) const;

  LoadLimits limits_;
  RowShape shape_;
  std::uint64_t records_before_;
  std::optional<std::uint64_t> file_size_;
  bool started_ = false;
  bool done_ = false;
  std::uint64_t width_ = 0;
  std::uint64_t rows_ = 0;
  LoadEnd end_{};
  Refusal refusal_{};
};

// The warning for a matrix of `values` whose MAT-file element, with a name
// of `name_length` bytes, is larger than MATLAB loads; empty where it is not.
std::string ElementSizeWarning(std::string_view name, std::uint64_t name_length,
                               std::uint64_t values);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_RULES_H_
