#include "base/worker_set.h"

#include <thread>

namespace pmr {

WorkerSet::WorkerSet() : shared_(std::make_shared<Shared>()) {}

WorkerSet::~WorkerSet() { Shutdown(std::chrono::milliseconds(0)); }

bool WorkerSet::Start(std::function<void()> work) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->stopping) return false;
    ++shared_->running;
  }
  std::thread([shared = shared_, work = std::move(work)] {
    try {
      work();
    } catch (...) {
    }
    std::lock_guard lock(shared->mutex);
    if (--shared->running == 0) shared->idle.notify_all();
  }).detach();
  return true;
}

bool WorkerSet::Shutdown(std::chrono::milliseconds wait) {
  std::unique_lock lock(shared_->mutex);
  shared_->stopping = true;
  return shared_->idle.wait_for(lock, wait, [&] { return shared_->running == 0; });
}

bool WorkerSet::WaitIdle(std::chrono::milliseconds wait) {
  std::unique_lock lock(shared_->mutex);
  return shared_->idle.wait_for(lock, wait, [&] { return shared_->running == 0; });
}

std::size_t WorkerSet::Running() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->running;
}

}  // namespace pmr
