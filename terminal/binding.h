#pragma once

// Binding: the installation's identity and school code from the portal, and the terminal
// told where to send its recognitions and heart-beats. TPAThread2 is one run of it; every
// effect on the window goes through BindingWindow, which is safe from any thread.

#include <cstdint>
#include <functional>
#include <string>

#include "state/app_state.h"
#include "state/effects.h"

namespace pmr::terminal {

// The base is virtual so that one window serving the gateway too keeps one set of effects.
class BindingWindow : public virtual state::WindowEffects {
 public:
  // Arms the timer that opens the first portal pages.
  virtual void ArmFirstPagesTimer() = 0;
  // Arms the binding timer to start a new run after `interval_ms`.
  virtual void RetryBindingAfter(int interval_ms) = 0;
};

struct BindingContext {
  state::AppState* state = nullptr;
  BindingWindow* window = nullptr;
  std::string portal_host;
  int terminal_port = 8090;
  // The PC's own address; raises when it cannot be found.
  std::function<std::string()> own_address;
  // False for a run that a retry started while the first pages are shown: it opens them again
  // only when the school code changed, so a teacher's page does not jump back every minute.
  bool open_first_pages = true;
};

// After a failure to reach the terminal or the portal, the next run starts this much later.
inline constexpr int kBindingRetryMs = 60000;
// Without an identity or a school code the application stays up and the run goes on (the
// terminal still gets its callback address); the log says so.
inline constexpr const char* kQuitRequestLine = "TPAThread2:quit request ignored, binding goes on";

class TPAThread2 {
 public:
  explicit TPAThread2(BindingContext context) : context_(std::move(context)) {}
  void Execute();

 private:
  BindingContext context_;
};

}  // namespace pmr::terminal
