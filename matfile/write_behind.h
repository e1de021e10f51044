// Writing on a second thread while the caller prepares what comes next.
#ifndef UNF2MAT_MATFILE_WRITE_BEHIND_H_
#define UNF2MAT_MATFILE_WRITE_BEHIND_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace unf2mat {

// Runs one job at a time on a thread of its own, so that the next tile is
// read and widened while the last one is written.
class WriteBehind {
 public:
  WriteBehind();
  // Waits for the job in hand.
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // Waits for the job in hand to end, then hands over this one, which
  // returns 0 or an errno value.
  void Run(std::function<int()> job);
  // Waits for the job in hand to end.
  void Wait();
  // Whether a job that has ended failed.
  bool failed();

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<int()> job_;
  bool failed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_WRITE_BEHIND_H_
