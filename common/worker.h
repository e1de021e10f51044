// A second thread, for work that can go on while the caller does more.
#ifndef UNF2MAT_COMMON_WORKER_H_
#define UNF2MAT_COMMON_WORKER_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace unf2mat {

// Runs one job at a time on a thread of its own: a tile written while the
// next is filled, half of a tile filled while the caller fills the other.
class Worker {
 public:
  Worker();
  // Waits for the job in hand.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

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

#endif  // UNF2MAT_COMMON_WORKER_H_
