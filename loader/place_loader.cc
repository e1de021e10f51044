#include "loader/place_loader.h"

#include <string>
#include <vector>

#include "common/run_error.h"
#include "loader/load_start.h"
#include "loader/record_places.h"
#include "recordio/record_scan.h"

namespace unf2mat {
namespace {

using record::Step;
using Verdict = LoadRules::Verdict;

// Only the first `bytes` of a record's payload hold its row's values.
void KeepFirst(std::vector<PayloadPiece>* pieces, std::uint64_t bytes) {
  for (auto it = pieces->begin(); it != pieces->end(); ++it) {
    if (it->bytes >= bytes) {
      it->bytes = bytes;
      pieces->erase(it + (bytes > 0 ? 1 : 0), pieces->end());
      return;
    }
    bytes -= it->bytes;
  }
}

}  // namespace

std::unique_ptr<FileTiles> LoadPlaces(std::shared_ptr<InputFile> file,
                                      std::optional<std::uint64_t> size,
                                      std::string_view name, ValueType type,
                                      const LoadLimits& limits,
                                      LoadOutcome* outcome,
                                      std::size_t read_bytes) {
  LoadRules rules(limits, ValueSize(type), size);
  auto check = [&](Verdict verdict) {
    if (verdict == Verdict::kRefuse) {
      throw RunError(rules.RefusalMessage(name));
    }
    return verdict == Verdict::kTake;
  };
  {
    RecordReader probe(*file, 4096);
    probe.set_value_size(ValueSize(type));
    check(DecideFraming(probe, rules, name, &outcome->choice));
  }
  RecordScanner scanner(*file, size, outcome->choice.framing);
  RecordPlaces places;
  std::vector<PayloadPiece> pieces;
  // Each record's step put to the rules; false once loading ends.
  auto take = [&](std::uint64_t at, std::uint64_t room) {
    std::uint64_t bytes = 0;
    const Step step = scanner.Next(room, &pieces, &bytes);
    if (step == Step::kFailed || scanner.error() != 0) {
      ThrowReadFailure(name, scanner.error());
    }
    if (step == Step::kDamaged) rules.Damaged(at);
    return step == Step::kOk && check(rules.Record(bytes, at));
  };
  if (take(0, rules.first_record_bytes_limit())) {
    const std::uint64_t row_bytes = rules.row_bytes();
    KeepFirst(&pieces, row_bytes);
    places.Add(pieces);
    for (;;) {
      // One record past what fits tells a whole one from the end.
      const std::uint64_t repeats = scanner.SkipRepeats(rules.room() + 1);
      if (scanner.error() != 0) ThrowReadFailure(name, scanner.error());
      places.AddAlike(repeats, scanner.repeat_stride());
      if (repeats > 0) check(rules.Repeats(repeats));
      if (!take(scanner.offset(), row_bytes)) break;
      places.Add(pieces);
    }
  }
  outcome->rows = rules.rows();
  outcome->columns = rules.width();
  outcome->end = rules.end();
  if (places.overflowed()) return nullptr;
  // A stream kept as it is read holds at least what the walk looked at.
  return std::make_unique<FileTiles>(
      std::move(file), size.value_or(scanner.offset()), std::move(places), type,
      outcome->choice.framing.swapped, std::string(name), read_bytes);
}

}  // namespace unf2mat
