#pragma once

// The UI thread's queue of closures, one for every window backend: Post, Invoke and the
// loop's life (not started, running, ending). The backend's loop takes the closures one at
// a time; a wake-up hook it supplies tells that loop that one is waiting.
//
// Thread-safety: every member may be called from any thread, except Start and TakeNext,
// which belong to the UI thread (the thread that made the dispatcher).

#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace pmr::ui {

class Dispatcher {
 public:
  // Asks the UI thread's loop to call TakeNext once; true when the request went out. Called
  // with the dispatcher's lock held, so it must not call back into the dispatcher; called only
  // while the loop runs, and not again until TakeNext has taken the request.
  using WakeHook = std::function<bool()>;

  explicit Dispatcher(WakeHook wake);
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;
  ~Dispatcher();

  bool OnUiThread() const { return std::this_thread::get_id() == ui_thread_; }
  // Throws pmr::Error naming `operation` off the UI thread.
  void CheckUiThread(const char* operation) const;

  // UI thread: the loop starts and closures posted before are due. False when it had
  // started before (a loop runs once).
  bool Start();
  // Queued closures will not run and waiting Invoke calls return false; the backend ends
  // its own loops after this.
  void Quit();
  // The loop has ended for good: as Quit, and the queue is dropped.
  void Finish();
  bool Quitting() const;

  // Queues `fn`; dropped (and released at once) when the loop is ending or has ended.
  void Post(std::function<void()> fn);
  // Runs `fn` on the UI thread and waits: inline there, else queued after what was posted
  // before. False when dropped because the loop is ending; rethrows what `fn` throws. When it
  // returns, `fn` has finished or will never start.
  bool Invoke(const std::function<void()>& fn);

  // UI thread: the next closure, or an empty one when none is due. The next wake-up goes out
  // before the closure is handed over, so a modal loop inside it still runs the rest.
  std::function<void()> TakeNext();

 private:
  struct Call;
  enum class State { kNotStarted, kRunning, kEnded };

  void WakeIfNeeded() REQUIRES(mutex_);
  void CancelWaitingCalls() REQUIRES(mutex_);

  const std::thread::id ui_thread_ = std::this_thread::get_id();
  const WakeHook wake_;
  mutable Mutex mutex_;
  CondVar call_done_;  // Invoke callers wait here
  std::deque<std::function<void()>> queue_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<Call>> waiting_calls_ GUARDED_BY(mutex_);
  State state_ GUARDED_BY(mutex_) = State::kNotStarted;
  bool quit_ GUARDED_BY(mutex_) = false;
  bool wake_sent_ GUARDED_BY(mutex_) = false;
};

}  // namespace pmr::ui
