#pragma once

// Helpers for the headless tests: a thread-safe output collector, and the watchdog that ends
// a loop which would otherwise hang a failing test.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ui/headless/headless_window.h"
#include "ui/testing/watchdog.h"

namespace pmr::ui::headless::testing {

class Output {
 public:
  OutputSink Sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      changed_.notify_all();
    };
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool Has(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  // Waits until `line` was written; false after the time-out.
  bool WaitFor(const std::string& line, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

using ui::testing::Watchdog;

}  // namespace pmr::ui::headless::testing
