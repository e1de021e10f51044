// Where the values of each row lie in the data file, kept compact: records
// alike in their framing follow one another at one stride, so a run of them
// is one entry however many there are.
#ifndef UNF2MAT_LOADER_RECORD_PLACES_H_
#define UNF2MAT_LOADER_RECORD_PLACES_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "recordio/record_scan.h"

namespace unf2mat {

class RecordPlaces {
 public:
  // Bounds that keep the table small whatever the file: past them it is
  // given up (see overflowed()).
  static constexpr std::size_t kMaxRuns = std::size_t{1} << 18;
  static constexpr std::size_t kMaxPieces = std::size_t{1} << 20;

  // Appends a row whose values lie in `pieces`, in order.
  void Add(std::span<const PayloadPiece> pieces);
  // Appends `rows` rows laid out as the last, each `stride` bytes after the
  // one before.
  void AddAlike(std::uint64_t rows, std::uint64_t stride);

  // Keeps the first `rows` rows only.
  void Truncate(std::uint64_t rows);

  // The pieces of row `row`, at their offsets in the file.
  void Find(std::uint64_t row, std::vector<PayloadPiece>* pieces) const;

  // A run of rows laid out alike: pieces [piece_begin, piece_end) of the
  // pool, at offsets from `base`, and `base` moves on by `stride` a row.
  struct Run {
    std::uint64_t first_row;
    std::uint64_t rows;
    std::uint64_t base;
    std::uint64_t stride;
    std::uint32_t piece_begin;
    std::uint32_t piece_end;
  };
  // The run that holds `row`.
  const Run& RunOf(std::uint64_t row) const;
  // A run's pieces, with offsets from its base.
  std::span<const PayloadPiece> Layout(const Run& run) const {
    return {pool_.data() + run.piece_begin, pool_.data() + run.piece_end};
  }

  std::uint64_t rows() const { return rows_; }
  // Whether the rows were too unlike to keep within the bounds; the table is
  // then empty, and only rows() still counts.
  bool overflowed() const { return overflowed_; }

 private:
  void Append(Run run);
  void GiveUp();

  std::vector<Run> runs_;
  std::vector<PayloadPiece> pool_;
  std::uint64_t rows_ = 0;
  bool overflowed_ = false;
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_RECORD_PLACES_H_
