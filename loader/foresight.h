// Runs of records a walk took unread, as their file's size foretold
// (WalkSetup::foresee), checked while the conversion goes on: a conversion
// that relied on them stands only where each holds, and is made again,
// walking every record, where one does not.
#ifndef UNF2MAT_LOADER_FORESIGHT_H_
#define UNF2MAT_LOADER_FORESIGHT_H_

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "io/file.h"
#include "loader/layout_walk.h"
#include "recordio/record_format.h"
#include "recordio/record_walk.h"

namespace unf2mat {

// Short records taken unread, whose markers are checked by whoever reads
// their values, in the same pass (FileTiles); what no reader reached is
// checked when the run is asked whether it holds.
class MarkerCheck {
 public:
  MarkerCheck(const record::Repeat& repeat, std::uint64_t first,
              std::uint64_t records)
      : repeat_(repeat), first_(first), records_(records) {}

  const record::Repeat& repeat() const { return repeat_; }
  std::uint64_t first() const { return first_; }  // the first one's offset
  std::uint64_t records() const { return records_; }

  // Where the bytes at `offset` lie in one of the records: which, and how
  // far into it; false where in none.
  bool Locate(std::uint64_t offset, std::uint64_t* record,
              std::uint64_t* within) const;
  // Checks records [k, k + n), whose bytes start at `bytes`.
  void Check(const char* bytes, std::uint64_t k, std::uint64_t n);
  bool failed() const { return failed_; }
  // The records no Check has reached, as ranges [from, to).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Unchecked();

 private:
  record::Repeat repeat_;
  std::uint64_t first_, records_;
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> checked_;
};

class Foresight {
 public:
  Foresight() = default;
  Foresight(const Foresight&) = delete;
  Foresight& operator=(const Foresight&) = delete;
  ~Foresight();  // waits for the checks

  // Takes on the check of `run` of `file`, of `size` and `framing`: short
  // records are left to their readers (the check returned), longer ones,
  // whose markers are all a check reads, are checked on a thread of its
  // own (null returned).
  std::shared_ptr<MarkerCheck> Check(std::shared_ptr<InputFile> file,
                                     std::uint64_t size,
                                     const record::Framing& framing,
                                     const ForeseenRun& run);
  // Whether any run was taken unread.
  bool empty() const { return !any_; }
  // Whether every run holds: waits for the checks, and checks what their
  // readers left.
  bool Holds();

 private:
  struct LeftToReaders {
    std::shared_ptr<InputFile> file;
    std::uint64_t size;
    record::Framing framing;
    std::shared_ptr<MarkerCheck> check;
  };

  bool any_ = false;
  std::vector<std::thread> threads_;
  std::vector<LeftToReaders> left_;
  std::atomic<bool> failed_{false};
};

// Ends a conversion that relied on a run of records that does not hold:
// what it wrote is discarded, for the conversion to be made again.
class Unforeseen final : public std::exception {
 public:
  const char* what() const noexcept override {
    return "records taken by the file's size do not hold";
  }
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_FORESIGHT_H_
