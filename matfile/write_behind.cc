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

void WriteBehind::Run(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
  job_ = std::move(job);
  changed_.notify_all();
}

void WriteBehind::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
}

void WriteBehind::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return job_ || stopping_; });
    if (!job_) return;
    lock.unlock();
    job_();
    lock.lock();
    job_ = nullptr;
    changed_.notify_all();
  }
}

}  // namespace unf2mat
