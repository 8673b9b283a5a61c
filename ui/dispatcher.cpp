#include "ui/dispatcher.h"

#include <exception>
#include <string>
#include <utility>

#include "base/error.h"

namespace pmr::ui {

// One waiting Invoke; guarded by the dispatcher's mutex. A call is cancelled only before it
// starts, so a started call always finishes before its caller returns.
struct Dispatcher::Call {
  bool started = false;
  bool done = false;
  bool cancelled = false;
  std::exception_ptr error;
};

Dispatcher::Dispatcher(WakeHook wake) : wake_(std::move(wake)) {}

Dispatcher::~Dispatcher() { Finish(); }

void Dispatcher::CheckUiThread(const char* operation) const {
  if (!OnUiThread()) throw Error(std::string("ui: ") + operation + " called off the UI thread");
}

bool Dispatcher::Start() {
  MutexLock lock(mutex_);
  if (state_ != State::kNotStarted) return false;
  state_ = State::kRunning;
  WakeIfNeeded();  // closures posted before
  return true;
}

void Dispatcher::Quit() {
  {
    MutexLock lock(mutex_);
    quit_ = true;
    CancelWaitingCalls();
  }
  call_done_.NotifyAll();
}

void Dispatcher::Finish() {
  std::deque<std::function<void()>> dropped;
  {
    MutexLock lock(mutex_);
    quit_ = true;
    state_ = State::kEnded;
    dropped.swap(queue_);
    CancelWaitingCalls();
  }
  call_done_.NotifyAll();
  // `dropped` goes here, outside the lock: a closure's captures may post.
}

bool Dispatcher::Quitting() const {
  MutexLock lock(mutex_);
  return quit_;
}

void Dispatcher::Post(std::function<void()> fn) {
  std::function<void()> rejected;  // released after the lock, for the same reason
  MutexLock lock(mutex_);
  if (quit_) {
    rejected = std::move(fn);
    return;
  }
  queue_.push_back(std::move(fn));
  WakeIfNeeded();
}

bool Dispatcher::Invoke(const std::function<void()>& fn) {
  if (OnUiThread()) {
    fn();
    return true;
  }
  auto call = std::make_shared<Call>();
  MutexLock lock(mutex_);
  if (quit_) return false;
  waiting_calls_.push_back(call);
  queue_.push_back([this, call, &fn] {
    {
      MutexLock inner(mutex_);
      if (call->cancelled) return;
      call->started = true;
    }
    try {
      fn();
    } catch (...) {
      call->error = std::current_exception();
    }
    {
      MutexLock inner(mutex_);
      call->done = true;
      std::erase(waiting_calls_, call);
    }
    call_done_.NotifyAll();
  });
  WakeIfNeeded();
  while (!call->done && !call->cancelled) call_done_.Wait(mutex_);
  if (!call->done) return false;
  // Taken out under the lock, so the exception is released on this thread alone.
  std::exception_ptr error = std::move(call->error);
  lock.Unlock();
  if (error) std::rethrow_exception(error);
  return true;
}

std::function<void()> Dispatcher::TakeNext() {
  MutexLock lock(mutex_);
  wake_sent_ = false;
  if (quit_ || queue_.empty()) return {};
  std::function<void()> work = std::move(queue_.front());
  queue_.pop_front();
  WakeIfNeeded();
  return work;
}

void Dispatcher::WakeIfNeeded() {
  if (wake_sent_ || queue_.empty() || state_ != State::kRunning) return;
  wake_sent_ = wake_();
}

void Dispatcher::CancelWaitingCalls() {
  for (const auto& call : waiting_calls_) {
    if (!call->started) call->cancelled = true;
  }
  std::erase_if(waiting_calls_, [](const auto& call) { return call->cancelled; });
}

}  // namespace pmr::ui
