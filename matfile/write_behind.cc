#include "matfile/write_behind.h"

#include <utility>

namespace unf2mat {

WriteBehind::WriteBehind() : thread_([this] { Loop(); }) {}

WriteBehind::~WriteBehind() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !job_; });
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void WriteBehind::Run(std::function<int()> job) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
  job_ = std::move(job);
  changed_.notify_all();
}

void WriteBehind::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
}

bool WriteBehind::failed() {
  std::unique_lock lock(mutex_);
  return failed_;
}

void WriteBehind::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return job_ || stopping_; });
    if (!job_) return;
    lock.unlock();
    const bool failed = job_() != 0;
    lock.lock();
    failed_ = failed_ || failed;
    job_ = nullptr;
    changed_.notify_all();
  }
}

}  // namespace unf2mat
