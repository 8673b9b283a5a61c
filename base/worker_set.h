#pragma once

// Runs closures on threads of their own and knows how many still run, so that exit can wait a
// little for them. Thread-safe. A closure must not outlive what it uses: the owner calls
// Shutdown before releasing that, and ends the process without releasing it when Shutdown
// reports workers still running.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "base/mutex.h"

namespace pmr {

class WorkerSet {
 public:
  WorkerSet();
  ~WorkerSet();
  WorkerSet(const WorkerSet&) = delete;
  WorkerSet& operator=(const WorkerSet&) = delete;

  // Starts `work` at once on a new thread; refused (false) after Shutdown. An exception that
  // escapes `work` is swallowed: a worker never takes the process down.
  bool Start(std::function<void()> work);

  // Refuses new work and waits at most `wait` for the running ones; true when none runs.
  bool Shutdown(std::chrono::milliseconds wait);
  bool WaitIdle(std::chrono::milliseconds wait);
  std::size_t Running() const;

 private:
  struct Shared {
    Mutex mutex;
    CondVar idle;
    std::size_t running GUARDED_BY(mutex) = 0;
    bool stopping GUARDED_BY(mutex) = false;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace pmr
