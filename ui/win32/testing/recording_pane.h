#pragma once

// Test panes for the Win32 window: plain child windows that behave like the browser control
// where the window depends on it (before-navigate fired inside Navigate, keyboard first look),
// and a bounded run of the window's loop.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "ui/win32/browser_pane.h"
#include "ui/win32/win32_window.h"

namespace pmr::ui::win32::testing {

using namespace std::chrono_literals;

inline std::atomic<int> g_navigate_depth{0};
inline std::atomic<int> g_navigate_max_depth{0};

class RecordingPane : public BrowserPane {
 public:
  explicit RecordingPane(HWND parent) {
    hwnd_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    if (hwnd_ == nullptr) throw Error("test pane: no window");
  }
  ~RecordingPane() override { DestroyWindow(hwnd_); }

  void SetBounds(const RECT& bounds) override {
    MoveWindow(hwnd_, bounds.left, bounds.top, bounds.right - bounds.left,
               bounds.bottom - bounds.top, TRUE);
  }
  void Navigate(const std::string& url) override {
    int depth = ++g_navigate_depth;
    if (depth > g_navigate_max_depth) g_navigate_max_depth = depth;
    requested.push_back(url);
    bool cancel = false;
    if (before_navigate_) before_navigate_(url, cancel);
    if (!cancel) location_ = url;
    --g_navigate_depth;
  }
  std::string Location() const override { return location_; }
  void RunScript(const std::string& code) override {
    if (location_.empty()) throw ScriptError("no document");
    scripts.push_back(code);
  }
  void SetBeforeNavigate(std::function<void(const std::string&, bool&)> handler) override {
    before_navigate_ = std::move(handler);
  }
  bool TranslateAccelerator(MSG& msg) override {
    if (msg.message == WM_KEYDOWN) keys.push_back(static_cast<int>(msg.wParam));
    return swallow_keys;
  }
  HWND Handle() const override { return hwnd_; }

  std::vector<std::string> requested, scripts;
  std::vector<int> keys;
  bool swallow_keys = true;

 private:
  HWND hwnd_ = nullptr;
  std::string location_;
  std::function<void(const std::string&, bool&)> before_navigate_;
};

inline Win32WindowOptions TestOptions() {
  Win32WindowOptions options;
  options.pane_factory = [](HWND parent) { return std::make_unique<RecordingPane>(parent); };
  options.echo = false;
  return options;
}

inline RecordingPane& PaneOf(Win32MainWindow& window, Pane pane) {
  return dynamic_cast<RecordingPane&>(window.PaneObject(pane));
}

// Runs the loop; a watchdog ends it after `limit`. False when the watchdog had to.
inline bool RunBounded(Win32MainWindow& window, std::chrono::milliseconds limit = 10s) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool expired = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!done.wait_for(lock, limit, [&] { return finished; })) {
      expired = true;
      window.Quit();
    }
  });
  window.Run();
  {
    std::lock_guard lock(mutex);
    finished = true;
  }
  done.notify_all();
  watchdog.join();
  return !expired;
}

}  // namespace pmr::ui::win32::testing
