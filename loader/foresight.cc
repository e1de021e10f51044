#include "loader/foresight.h"

#include <utility>

#include "io/helper_thread.h"
#include "recordio/record_scan.h"

namespace unf2mat {

Foresight::~Foresight() { (void)Holds(); }

void Foresight::Check(std::shared_ptr<InputFile> file, std::uint64_t size,
                      const record::Framing& framing,
                      std::vector<ForeseenRun> runs) {
  if (runs.empty()) return;
  checks_.push_back(StartHelperThread(
      [this, file = std::move(file), size, framing, runs = std::move(runs)] {
        try {
          for (const ForeseenRun& run : runs) {
            if (!RepeatsHold(*file, size, framing, run.offset, run.records)) {
              failed_ = true;
              return;
            }
          }
        } catch (...) {
          // Whatever the check could not finish, the walk will say again.
          failed_ = true;
        }
      }));
}

bool Foresight::Holds() {
  for (std::thread& check : checks_) {
    if (check.joinable()) check.join();
  }
  return !failed_;
}

}  // namespace unf2mat
