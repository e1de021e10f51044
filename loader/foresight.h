// Runs of records a walk took unread, as their file's size foretold
// (WalkSetup::foresee), checked on threads of their own while the
// conversion goes on: a conversion that relied on them stands only where
// each holds, and is made again, walking every record, where one does not.
#ifndef UNF2MAT_LOADER_FORESIGHT_H_
#define UNF2MAT_LOADER_FORESIGHT_H_

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "io/file.h"
#include "loader/layout_walk.h"
#include "recordio/record_format.h"

namespace unf2mat {

class Foresight {
 public:
  Foresight() = default;
  Foresight(const Foresight&) = delete;
  Foresight& operator=(const Foresight&) = delete;
  ~Foresight();  // waits for the checks

  // Checks `runs` of `file`, of `size` and `framing`, on a thread of its own.
  void Check(std::shared_ptr<InputFile> file, std::uint64_t size,
             const record::Framing& framing, std::vector<ForeseenRun> runs);
  // Whether any run was taken unread.
  bool empty() const { return checks_.empty(); }
  // Whether every run checked holds; waits for the checks.
  bool Holds();

 private:
  std::vector<std::thread> checks_;
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
