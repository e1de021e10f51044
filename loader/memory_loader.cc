#include "loader/memory_loader.h"

#include <algorithm>
#include <optional>

#include "common/run_error.h"
#include "common/widen_values.h"
#include "loader/load_start.h"

namespace unf2mat {
namespace {

using Verdict = LoadRules::Verdict;

// A record passes through the buffer in pieces of this many values, each
// widened into the store at once, so a long record is read in one pass and
// touches little of the buffer.
constexpr std::size_t kPieceValues = std::size_t{1} << 18;
// Shorter records are read many to a batch, which stays in cache.
constexpr std::size_t kBatchValues = std::size_t{1} << 16;

class MemoryLoad {
 public:
  MemoryLoad(RecordReader& reader, std::string_view name, ValueType type,
             const LoadLimits& limits, const MemoryStore& store)
      : reader_(reader),
        name_(name),
        type_(type),
        store_(store),
        rules_(limits, ValueSize(type), reader.BytesLeft()) {}

  LoadOutcome Run();

 private:
  // Ends the run where `verdict` refuses.
  void Check(Verdict verdict) const {
    if (verdict == Verdict::kRefuse) {
      throw RunError(rules_.RefusalMessage(name_));
    }
  }
  // Where the file's size shows that more records may follow than the matrix
  // can hold, the rules are run over their markers first, so that such a
  // file is refused before a value is stored.
  void RefuseEarly(std::uint64_t claimed_bytes);
  // Reads the next record's first `capacity` values, widened into the store
  // from row `row` where given; else only past it.
  ReadStatus ReadIntoRow(std::optional<std::uint64_t> row, std::size_t capacity,
                         std::uint64_t* bytes);
  // A record read, or a failure, put to the rules; false once loading ends.
  bool Take(ReadStatus status, std::uint64_t bytes);
  void LoadLongRecords();
  void LoadBatches();

  RecordReader& reader_;
  std::string_view name_;
  ValueType type_;
  MemoryStore store_;
  LoadRules rules_;
};

void MemoryLoad::RefuseEarly(std::uint64_t claimed_bytes) {
  const std::optional<std::uint64_t> left = reader_.BytesLeft();
  const std::size_t size = reader_.value_size();
  const std::uint64_t smallest_record =
      2 * reader_.framing().marker_size + claimed_bytes / size * size;
  LoadRules ahead = rules_;
  if (!left || claimed_bytes < size ||
      ahead.Record(claimed_bytes, 0) != Verdict::kTake ||
      *left / smallest_record <= ahead.room() + 1) {
    return;
  }
  ahead = rules_;
  Verdict verdict = Verdict::kTake;
  reader_.WalkAhead([&](std::uint64_t bytes) {
    verdict = ahead.Record(bytes, 0);
    return verdict == Verdict::kTake;
  });
  if (verdict == Verdict::kRefuse) {
    throw RunError(ahead.RefusalMessage(name_));
  }
}

ReadStatus MemoryLoad::ReadIntoRow(std::optional<std::uint64_t> row,
                                   std::size_t capacity, std::uint64_t* bytes) {
  const std::uint64_t width = rules_.width();
  const RecordReader::PieceSink widen = [&](std::size_t offset, std::size_t n) {
    if (!row) return;
    WidenValues(type_, store_.buffer.data(), n,
                store_.matrix.data() + *row * width + offset);
  };
  const std::size_t window = std::min<std::size_t>(
      kPieceValues, store_.buffer.size() / reader_.value_size());
  return reader_.ReadRecordInPieces(store_.buffer.data(), window, capacity,
                                    widen, bytes);
}

bool MemoryLoad::Take(ReadStatus status, std::uint64_t bytes) {
  switch (status) {
    case ReadStatus::kOk: {
      const Verdict verdict =
          rules_.Record(bytes, reader_.last_record().offset);
      Check(verdict);
      return verdict == Verdict::kTake;
    }
    case ReadStatus::kDamaged:
      rules_.Damaged(reader_.last_record().offset);
      return false;
    case ReadStatus::kFailed:
      ThrowReadFailure(name_, reader_.error());
    case ReadStatus::kEnd:
      break;
  }
  return false;
}

void MemoryLoad::LoadLongRecords() {
  for (;;) {
    const auto row =
        rules_.room() > 0 ? std::optional(rules_.rows()) : std::nullopt;
    std::uint64_t bytes = 0;
    const ReadStatus status =
        ReadIntoRow(row, static_cast<std::size_t>(rules_.width()), &bytes);
    if (!Take(status, bytes)) return;
  }
}

void MemoryLoad::LoadBatches() {
  const std::size_t width = static_cast<std::size_t>(rules_.width());
  const std::size_t row_bytes = static_cast<std::size_t>(rules_.row_bytes());
  const std::size_t batch = std::max<std::size_t>(
      1, std::min(kBatchValues / std::max<std::size_t>(width, 1),
                  store_.buffer.size() / std::max<std::size_t>(row_bytes, 1)));
  char* rows = store_.buffer.data();
  for (bool going = true; going;) {
    const std::uint64_t first = rules_.rows();
    // One record past what fits tells a whole one from the end.
    const std::size_t most = static_cast<std::size_t>(
        std::min<std::uint64_t>(batch, rules_.room() + 1));
    std::size_t held = 0;
    while (held < most) {
      std::uint64_t bytes = 0;
      const ReadStatus status =
          reader_.ReadRecord(rows + held * row_bytes, width, &bytes);
      going = Take(status, bytes);
      if (!going) break;
      ++held;
      const std::size_t repeats =
          reader_.ReadRepeats(rows + held * row_bytes, width, most - held);
      if (repeats == 0) continue;
      Check(rules_.Repeats(repeats));
      held += repeats;
    }
    WidenValues(type_, rows, held * width,
                store_.matrix.data() + first * width);
  }
}

LoadOutcome MemoryLoad::Run() {
  LoadOutcome outcome;
  Check(DecideFraming(reader_, rules_, PlainRows(ValueSize(type_)), name_,
                      &outcome.choice));
  std::uint64_t capacity = std::min<std::uint64_t>(
      rules_.first_record_bytes_limit() / reader_.value_size(),
      store_.matrix.size());
  if (const auto claimed = outcome.choice.first_record_bytes) {
    capacity = std::min(capacity, *claimed / reader_.value_size());
    RefuseEarly(*claimed);
  }
  std::uint64_t bytes = 0;
  const ReadStatus first =
      ReadIntoRow(0, static_cast<std::size_t>(capacity), &bytes);
  if (Take(first, bytes)) {
    if (rules_.width() >= kBatchValues) {
      LoadLongRecords();
    } else {
      LoadBatches();
    }
  }
  outcome.rows = rules_.rows();
  outcome.columns = rules_.width();
  outcome.end = rules_.end();
  return outcome;
}

}  // namespace

LoadOutcome LoadIntoMemory(RecordReader& reader, std::string_view name,
                           ValueType type, const LoadLimits& limits,
                           const MemoryStore& store) {
  reader.set_value_size(ValueSize(type));
  LoadLimits fit = limits;
  fit.matrix_values =
      std::min<std::uint64_t>(fit.matrix_values, store.matrix.size());
  return MemoryLoad(reader, name, type, fit, store).Run();
}

}  // namespace unf2mat
