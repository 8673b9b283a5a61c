#pragma once

// Uploads stored pictures to the portal. A TPAThread is one attempt at one picture's upload.
// UploadWorkers sends the jobs of the outbox: at most four at once, oldest first, each failed
// one again after a growing pause, until the portal accepts it or it is too old. Exit never
// waits for uploads and loses no job: what was not delivered stays in the outbox for the next
// start. The state and the window effects must outlive every upload (the process ends without
// releasing them while uploads still run).

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "gateway/outbox.h"
#include "state/app_state.h"
#include "state/effects.h"

namespace pmr::gateway {

struct UploadContext {
  state::AppState* state = nullptr;
  state::WindowEffects* window = nullptr;
  std::string portal_host;
};

// Refreshes status panels 1 and 2 from the picture counters.
void ShowPictureCounters(state::AppState& state, state::WindowEffects& window);

struct UploadResult {
  bool delivered = false;
  std::string reason;  // why it failed
};

class TPAThread {
 public:
  explicit TPAThread(UploadContext context) : context_(std::move(context)) {}

  std::string PicFile;
  std::string TakeTime;
  std::string Pid;
  // The picture's Base64 text, made from its bytes as they were when it was stored; without it
  // PicFile is read.
  std::optional<std::string> PictureText;

  // Posts the picture with the school code (read now), card id and capture time; logs the
  // reply or the failure and updates the counters. A picture that cannot be read ends it
  // without a request, a line or a count.
  UploadResult Execute();

 private:
  UploadContext context_;
};

struct RetryPolicy {
  std::chrono::milliseconds first_pause{15'000};
  std::chrono::milliseconds longest_pause{300'000};
  // As long as the picture folder keeps a picture.
  std::chrono::milliseconds max_age{std::chrono::hours(24 * 30)};
};

class UploadWorkers {
 public:
  // With `held`, nothing is sent before Resume (the school code may not be read yet).
  UploadWorkers(std::shared_ptr<Outbox> outbox, UploadContext context,
                std::size_t max_parallel = 4, RetryPolicy policy = {}, bool held = false);
  ~UploadWorkers();
  UploadWorkers(const UploadWorkers&) = delete;
  UploadWorkers& operator=(const UploadWorkers&) = delete;

  // Queues the jobs an earlier run left, oldest first, dropping those that are too old;
  // gives how many were queued. Call once, before the first Record.
  std::size_t Restore();

  // Records the picture as a job in the outbox; nullopt (and a line in the log file) when the
  // outbox is full or the disk refused. `written`: see Outbox::Store.
  std::optional<UploadJob> Record(const std::string& name, const std::string& pid,
                                  const std::string& take_time, std::string_view picture,
                                  const std::filesystem::path* written = nullptr);
  // Queues a recorded job; it starts at once when fewer than the limit run.
  void Start(UploadJob job);
  // Starts sending what is queued.
  void Resume();

  // Stops taking jobs and waits at most `wait` for the uploads in flight; true when none
  // runs any more. Undelivered jobs stay in the outbox.
  bool Shutdown(std::chrono::milliseconds wait);
  // Waits until no job is queued, waiting for a retry or in flight (for tests).
  bool WaitIdle(std::chrono::milliseconds wait);
  // Jobs queued, waiting or in flight.
  std::size_t Pending() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace pmr::gateway
