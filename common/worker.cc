#include "common/worker.h"

#include <utility>

#include "io/helper_thread.h"

namespace unf2mat {

Worker::Worker() : thread_(StartHelperThread([this] { Loop(); })) {}

Worker::~Worker() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !job_; });
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Worker::Run(std::function<int()> job) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
  job_ = std::move(job);
  changed_.notify_all();
}

void Worker::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
}

bool Worker::failed() {
  std::unique_lock lock(mutex_);
  return failed_;
}

void Worker::Loop() {
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
