#include "loader/record_places.h"

#include <algorithm>

namespace unf2mat {

void RecordPlaces::GiveUp() {
  overflowed_ = true;
  runs_ = {};
  pool_ = {};
}

void RecordPlaces::Append(Run run) {
  if (runs_.size() >= kMaxRuns) return GiveUp();
  runs_.push_back(run);
}

void RecordPlaces::Add(std::span<const PayloadPiece> pieces) {
  const std::uint64_t row = rows_++;
  if (overflowed_) return;
  const std::uint64_t base = pieces.empty() ? 0 : pieces.front().offset;
  auto same_layout = [&](const Run& run) {
    const std::span<const PayloadPiece> layout = Layout(run);
    return std::equal(
        layout.begin(), layout.end(), pieces.begin(), pieces.end(),
        [&](const PayloadPiece& a, const PayloadPiece& b) {
          return a.bytes == b.bytes && a.offset == b.offset - base;
        });
  };
  if (!runs_.empty() && same_layout(runs_.back())) {
    Run& last = runs_.back();
    if (last.rows == 1 && base > last.base) last.stride = base - last.base;
    if (last.stride != 0 && base == last.base + last.rows * last.stride) {
      ++last.rows;
      return;
    }
    // Laid out alike, at another distance: the same pieces serve.
    Append({row, 1, base, 0, last.piece_begin, last.piece_end});
    return;
  }
  if (pool_.size() + pieces.size() > kMaxPieces) return GiveUp();
  const auto begin = static_cast<std::uint32_t>(pool_.size());
  for (const PayloadPiece& piece : pieces) {
    pool_.push_back({piece.offset - base, piece.bytes});
  }
  Append({row, 1, base, 0, begin, static_cast<std::uint32_t>(pool_.size())});
}

void RecordPlaces::AddAlike(std::uint64_t rows, std::uint64_t stride) {
  if (rows == 0) return;
  const std::uint64_t first = rows_;
  rows_ += rows;
  if (overflowed_ || runs_.empty()) return;
  Run& last = runs_.back();
  if (last.rows == 1) last.stride = stride;
  if (last.stride == stride) {
    last.rows += rows;
    return;
  }
  const std::uint64_t base = last.base + (last.rows - 1) * last.stride + stride;
  Append({first, rows, base, stride, last.piece_begin, last.piece_end});
}

void RecordPlaces::Truncate(std::uint64_t rows) {
  if (rows >= rows_) return;
  rows_ = rows;
  while (!runs_.empty() && runs_.back().first_row >= rows) runs_.pop_back();
  if (!runs_.empty()) runs_.back().rows = rows - runs_.back().first_row;
}

const RecordPlaces::Run& RecordPlaces::RunOf(std::uint64_t row) const {
  auto after = std::upper_bound(
      runs_.begin(), runs_.end(), row,
      [](std::uint64_t r, const Run& run) { return r < run.first_row; });
  return *(after - 1);
}

void RecordPlaces::Find(std::uint64_t row,
                        std::vector<PayloadPiece>* pieces) const {
  const Run& run = RunOf(row);
  const std::uint64_t base = run.base + (row - run.first_row) * run.stride;
  pieces->clear();
  for (const PayloadPiece& piece : Layout(run)) {
    pieces->push_back({base + piece.offset, piece.bytes});
  }
}

}  // namespace unf2mat
