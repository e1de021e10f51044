// The one loop over a data file's records: the layout's statements run in
// order over the records, as the records' markers show them, each record
// put to the rules of loading (load_rules.h). Every way of loading and
// --describe walk a file through it, and learn from it alone what each
// variable holds: where each value read of it lies in the file, and its
// shape each time. No value is read but those that give sizes and counts.
#ifndef UNF2MAT_LOADER_LAYOUT_WALK_H_
#define UNF2MAT_LOADER_LAYOUT_WALK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/value_type.h"
#include "io/file.h"
#include "loader/layout.h"
#include "loader/load_rules.h"
#include "loader/record_places.h"
#include "recordio/record_format.h"
#include "recordio/record_scan.h"

namespace unf2mat {

// The shape of one value read of a variable.
struct ReadShape {
  ValueType type = ValueType::kReal4;
  bool complex = false;
  std::uint64_t length = 0;  // of each string, for a char field
  std::vector<std::uint64_t> dims;

  // Values in it (strings, of a char field).
  std::uint64_t count() const;
  // Values of the MAT-file it gives: characters, and parts of complex values.
  std::uint64_t units() const {
    return count() * (type == ValueType::kChar1 ? length : 1) *
           (complex ? 2 : 1);
  }
  bool operator==(const ReadShape&) const = default;
};

// Every value read of one variable.
struct VariableReads {
  std::uint64_t reads = 0;
  // Where each read lies: a row each, or, of a char field, a row a string.
  std::shared_ptr<RecordPlaces> places = std::make_shared<RecordPlaces>();
  std::vector<ReadShape> shapes;  // the distinct shapes, by their ids
  // Reads in order, each with the repetition of each group it is in
  // (outermost first, from 0); within a run the innermost one goes up by 1.
  struct Run {
    std::uint64_t first_read;
    std::uint64_t reads;
    std::uint32_t shape;
    std::vector<std::uint64_t> index;  // of the first read
  };
  std::vector<Run> runs;
  bool read = false;                  // once: groups holds its groups
  std::vector<std::uint32_t> groups;  // statement ids, outermost first
  std::uint64_t units = 0;            // of all its reads
  // The record of read k is first_record + k * record_step, while
  // records_regular holds.
  std::uint64_t first_record = 0;
  std::uint64_t record_step = 0;
  bool records_regular = true;
};

// `records` records from `first`, taken to repeat the record walked before
// them: each `repeat`.
struct ForeseenRun {
  std::uint64_t first = 0;
  std::uint64_t records = 0;
  record::Repeat repeat;
};

// A record statement whose records held more than it reads of them.
struct LongerRecords {
  int line = 0;
  // Of plain rows: the values each record gives, as the first record fixed.
  std::optional<std::uint64_t> row_values;
  std::uint64_t first = 0;        // the first such record
  std::uint64_t first_bytes = 0;  // its bytes left unread
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;  // left unread, in all
};

struct WalkResult {
  std::vector<VariableReads> variables;  // by the layout's variable ids
  LoadEnd end{};
  std::optional<Refusal> refusal;  // where the walk was told not to throw
  std::string refusal_message;
  // Of plain rows: the rows and the values of each.
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  std::uint64_t records = 0;    // whole records walked
  std::uint64_t walked_to = 0;  // the offset past the last record walked
  std::vector<LongerRecords> longer;
  // A record after all the layout reads, where one is: the file holds more
  // than the layout says.
  std::optional<RecordAt> trailing;
  // The records taken unread (WalkSetup::foresee), to the file's end: all
  // the walk says holds only where each repeats the one before them.
  std::optional<ForeseenRun> foreseen;
  // The branches of each either (by statement id) that ran.
  std::vector<std::vector<bool>> taken;
  // The repetitions of each group (by statement id) that ran once; of one
  // that ran several times, or none, nothing.
  std::vector<std::optional<std::uint64_t>> repetitions;

  // Whether some field of the layout's `variable` was in reach: outside
  // any either, or in branches that ran.
  bool Reached(const LayoutVariable& variable) const;
};

// Told of each record as the walk comes to it, and of each read: the places
// of a variable's values, when a conversion reads them into memory, or the
// records' lengths, for --describe.
class WalkSink {
 public:
  virtual ~WalkSink() = default;
  // Record `number` (from 1), at `offset`, of `bytes` in `subrecords`.
  virtual void Walked(std::uint64_t number, std::uint64_t offset,
                      std::uint64_t bytes, std::size_t subrecords) {
    (void)number, (void)offset, (void)bytes, (void)subrecords;
  }
  // `n` more records of the last one's length, each `stride` bytes on.
  virtual void WalkedAgain(std::uint64_t n, std::uint64_t stride) {
    (void)n, (void)stride;
  }
  // A read of `variable` taken, its bytes in `pieces` (in the file's byte
  // order), of `shape`.
  virtual void Read(std::uint32_t variable, const ReadShape& shape,
                    std::span<const PayloadPiece> pieces) {
    (void)variable, (void)shape, (void)pieces;
  }
  // `n` more reads alike, each `stride` bytes after the one before.
  virtual void ReadAgain(std::uint32_t variable, std::uint64_t n,
                         std::uint64_t stride) {
    (void)variable, (void)n, (void)stride;
  }
};

struct WalkSetup {
  InputFile* file = nullptr;
  std::optional<std::uint64_t> size;  // where known
  record::Framing framing;
  std::string_view name;  // of the data file, for messages
  // Each variable's limits, by id.
  std::vector<LoadLimits> limits;
  // Where the first record's markers claim its length (framing detection):
  // plain rows refuse a first record over the limit before it is read.
  std::optional<std::uint64_t> claimed_first_record;
  bool keep_places = true;
  // Say a refusal in the result rather than end the run.
  bool describe = false;
  // Take runs of records alike to the file's end as its size foretells,
  // unread (WalkResult::foreseen).
  bool foresee = false;
};

// Walks the data file `setup` names by `layout`. A refusal ends the run with
// a RunError (unless setup.describe), as do a failed read and a file that
// does not hold what the layout reads outside any group that repeats until
// the file ends.
WalkResult WalkLayout(const Layout& layout, const WalkSetup& setup,
                      WalkSink* sink = nullptr);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LAYOUT_WALK_H_
