#pragma once

// Uploads stored pictures to the portal. A TPAThread is one picture's upload; UploadWorkers
// runs them on threads of their own, at most four at once, the rest in the order they came.
// The state and the window effects must outlive the UploadWorkers object.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "app/app_state.h"
#include "app/effects.h"

namespace pmr::gateway {

struct UploadContext {
  app::AppState* state = nullptr;
  app::WindowEffects* window = nullptr;
  std::string portal_host;
};

// Refreshes status panels 1 and 2 from the picture counters.
void ShowPictureCounters(app::AppState& state, app::WindowEffects& window);

class TPAThread {
 public:
  explicit TPAThread(UploadContext context) : context_(std::move(context)) {}

  std::string PicFile;
  std::string TakeTime;
  std::string Pid;

  // Posts the picture with the school code, card id and capture time; logs the reply or the
  // failure and updates the counters. A picture that cannot be read ends it silently.
  void Execute();

 private:
  UploadContext context_;
};

class UploadWorkers {
 public:
  explicit UploadWorkers(std::size_t max_parallel = 4);
  ~UploadWorkers();
  UploadWorkers(const UploadWorkers&) = delete;
  UploadWorkers& operator=(const UploadWorkers&) = delete;

  // Queues the worker; it starts at once when fewer than the limit run.
  void Start(TPAThread worker);

  // Drops the queued workers and waits at most `wait` for the running ones. False when some
  // still run; they hold nothing of this object and end on their own time-outs.
  bool Shutdown(std::chrono::milliseconds wait);

  // Waits until no worker runs or is queued (for tests and orderly exits).
  bool WaitIdle(std::chrono::milliseconds wait);

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<TPAThread> queue;
    std::size_t running = 0;
    std::size_t max_parallel = 4;
    bool stopping = false;
  };
  static void Run(std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
};

}  // namespace pmr::gateway
