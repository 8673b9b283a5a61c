#include "base/worker_set.h"

#include <thread>

namespace pmr {

WorkerSet::WorkerSet() : shared_(std::make_shared<Shared>()) {}

WorkerSet::~WorkerSet() { Shutdown(std::chrono::milliseconds(0)); }

bool WorkerSet::Start(std::function<void()> work) {
  {
    MutexLock lock(shared_->mutex);
    if (shared_->stopping) return false;
    ++shared_->running;
  }
  std::thread([shared = shared_, work = std::move(work)] {
    try {
      work();
    } catch (...) {
    }
    MutexLock lock(shared->mutex);
    if (--shared->running == 0) shared->idle.NotifyAll();
  }).detach();
  return true;
}

bool WorkerSet::Shutdown(std::chrono::milliseconds wait) {
  {
    MutexLock lock(shared_->mutex);
    shared_->stopping = true;
  }
  return WaitIdle(wait);
}

bool WorkerSet::WaitIdle(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  Shared& s = *shared_;
  MutexLock lock(s.mutex);
  while (s.running != 0 && s.idle.WaitUntil(s.mutex, deadline)) {
  }
  return s.running == 0;
}

std::size_t WorkerSet::Running() const {
  MutexLock lock(shared_->mutex);
  return shared_->running;
}

}  // namespace pmr
