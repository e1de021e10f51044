#include "loader/foresight.h"

#include <algorithm>
#include <utility>

#include "io/helper_thread.h"
#include "recordio/record_scan.h"

namespace unf2mat {

bool MarkerCheck::Locate(std::uint64_t offset, std::uint64_t* record,
                         std::uint64_t* within) const {
  if (offset < first_) return false;
  const std::uint64_t k = (offset - first_) / repeat_.stride;
  if (k >= records_) return false;
  *record = k;
  *within = (offset - first_) % repeat_.stride;
  return true;
}

void MarkerCheck::Check(const char* bytes, std::uint64_t k, std::uint64_t n) {
  if (record::CountRepeats(bytes, n * repeat_.stride, repeat_, n) != n) {
    failed_ = true;
  }
  std::lock_guard lock(mutex_);
  // Tiles read in order: most ranges extend the last.
  if (!checked_.empty() && checked_.back().second == k) {
    checked_.back().second = k + n;
  } else {
    checked_.emplace_back(k, k + n);
  }
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> MarkerCheck::Unchecked() {
  std::lock_guard lock(mutex_);
  std::sort(checked_.begin(), checked_.end());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
  std::uint64_t next = 0;
  for (const auto& [from, to] : checked_) {
    if (from > next) gaps.emplace_back(next, from);
    next = std::max(next, to);
  }
  if (next < records_) gaps.emplace_back(next, records_);
  return gaps;
}

Foresight::~Foresight() {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

std::shared_ptr<MarkerCheck> Foresight::Check(std::shared_ptr<InputFile> file,
                                              std::uint64_t size,
                                              const record::Framing& framing,
                                              const ForeseenRun& run) {
  any_ = true;
  const record::Repeat& repeat = run.repeat;
  const std::uint64_t first = run.first;
  // Records this short are read whole: checking them as they are read
  // saves a pass over every byte.
  constexpr std::uint64_t kReadersCheckBytes = 4096;
  if (repeat.stride <= kReadersCheckBytes) {
    auto check = std::make_shared<MarkerCheck>(repeat, first, run.records);
    left_.push_back({std::move(file), size, framing, check});
    return check;
  }
  threads_.push_back(StartHelperThread(
      [this, file = std::move(file), size, framing, first, run, repeat] {
        try {
          // Their markers alone: the tiles' staging is what the memory is for.
          if (!RecordsRepeat(*file, size, framing, first, run.records, repeat,
                             /*markers_only=*/true)) {
            failed_ = true;
          }
        } catch (...) {
          // Whatever the check could not finish, the walk will say again.
          failed_ = true;
        }
      }));
  return nullptr;
}

bool Foresight::Holds() {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  for (LeftToReaders& left : left_) {
    if (failed_ || left.check->failed()) {
      failed_ = true;
      break;
    }
    const std::uint64_t stride = left.check->repeat().stride;
    for (const auto& [from, to] : left.check->Unchecked()) {
      if (!RecordsRepeat(*left.file, left.size, left.framing,
                         left.check->first() + from * stride, to - from,
                         left.check->repeat(), /*markers_only=*/false)) {
        failed_ = true;
        break;
      }
    }
  }
  left_.clear();
  return !failed_;
}

}  // namespace unf2mat
