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

// Walks past the records before the data ones, keeping the header's bytes;
// false where the file ends among skipped records.
bool PassHeaders(InputFile& file, RecordScanner& scanner, std::string_view name,
                 const RecordPlan& plan, std::string* header) {
  std::vector<PayloadPiece> pieces;
  for (std::uint64_t k = 0; k < plan.records_before(); ++k) {
    const bool is_header = k == plan.skip;
    const std::uint64_t room = is_header ? *plan.header_bytes : 0;
    const std::uint64_t at = scanner.offset();
    std::uint64_t bytes = 0;
    const Step step = scanner.Next(room, &pieces, &bytes);
    if (step == Step::kFailed || scanner.error() != 0) {
      ThrowReadFailure(name, scanner.error());
    }
    const std::string record = "record " + std::to_string(k + 1);
    if (step == Step::kDamaged) {
      throw RunError("the framing of data file " + Quote(name) +
                     " is damaged at " + record + ", byte offset " +
                     std::to_string(at) + ", before its data records");
    }
    if (step != Step::kOk) {
      if (!plan.header_bytes) return false;
      throw RunError("data file " + Quote(name) + " ends at " + record +
                     ", before its header record");
    }
    if (!is_header) continue;
    if (bytes < room) {
      throw RunError("the header record of data file " + Quote(name) + " (" +
                     record + ") holds " + Counted(bytes, "byte") +
                     ", fewer than the " + std::to_string(room) +
                     " the header layout reads");
    }
    header->resize(static_cast<std::size_t>(room));
    std::size_t done = 0;
    for (const PayloadPiece& piece : pieces) {
      const std::size_t n = static_cast<std::size_t>(
          std::min<std::uint64_t>(piece.bytes, room - done));
      for (std::size_t got = 0; got < n;) {
        const IoResult read = file.ReadAt(piece.offset + got,
                                          header->data() + done + got, n - got);
        if (read.error != 0) ThrowReadFailure(name, read.error);
        if (read.bytes == 0) ThrowReadFailure(name, EIO);
        got += read.bytes;
      }
      done += n;
    }
  }
  return true;
}

}  // namespace

PlacedRecords LoadPlaces(std::shared_ptr<InputFile> file,
                         std::optional<std::uint64_t> size,
                         std::string_view name, const RecordPlan& plan,
                         const LoadLimits& limits, LoadOutcome* outcome) {
  LoadRules rules(limits, plan.row, plan.records_before(), size);
  auto check = [&](Verdict verdict) {
    if (verdict == Verdict::kRefuse) {
      throw RunError(rules.RefusalMessage(name));
    }
    return verdict == Verdict::kTake;
  };
  {
    RecordReader probe(*file, 4096);
    check(DecideFraming(probe, rules, plan, name, &outcome->choice));
  }
  RecordScanner scanner(*file, size, outcome->choice.framing);
  PlacedRecords placed;
  auto places = std::make_shared<RecordPlaces>();
  std::vector<PayloadPiece> pieces;
  // Each record's step put to the rules; false once loading ends.
  auto take = [&](std::uint64_t room) {
    const std::uint64_t at = scanner.offset();
    std::uint64_t bytes = 0;
    const Step step = scanner.Next(room, &pieces, &bytes);
    if (step == Step::kFailed || scanner.error() != 0) {
      ThrowReadFailure(name, scanner.error());
    }
    if (step == Step::kDamaged) rules.Damaged(at);
    return step == Step::kOk && check(rules.Record(bytes, at));
  };
  if (PassHeaders(*file, scanner, name, plan, &placed.header) &&
      take(rules.first_record_bytes_limit())) {
    const std::uint64_t row_bytes = rules.row_bytes();
    KeepFirst(&pieces, row_bytes);
    places->Add(pieces);
    for (;;) {
      // One record past what fits tells a whole one from the end.
      const std::uint64_t repeats = scanner.SkipRepeats(rules.room() + 1);
      if (scanner.error() != 0) ThrowReadFailure(name, scanner.error());
      places->AddAlike(repeats, scanner.repeat_stride());
      if (repeats > 0) check(rules.Repeats(repeats));
      if (!take(row_bytes)) break;
      places->Add(pieces);
    }
  }
  outcome->rows = rules.rows();
  outcome->columns = rules.width();
  outcome->end = rules.end();
  placed.file = std::move(file);
  // A stream kept as it is read holds at least what the walk looked at.
  placed.size = size.value_or(scanner.offset());
  placed.swapped = outcome->choice.framing.swapped;
  if (!places->overflowed()) placed.places = std::move(places);
  return placed;
}

std::unique_ptr<FileTiles> PlainTiles(const PlacedRecords& placed,
                                      std::string_view name, ValueType type,
                                      std::uint64_t columns,
                                      std::size_t read_bytes) {
  if (!placed.places) return nullptr;
  std::vector<TilePart> parts = {
      placed.Part(std::string(name), PlainRows(ValueSize(type)))};
  return std::make_unique<FileTiles>(
      std::move(parts), RecordView{type, 0, columns, false, false, ""},
      read_bytes);
}

}  // namespace unf2mat
