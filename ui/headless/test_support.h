#pragma once

// Helpers for the headless tests: a thread-safe output collector and a watchdog that ends a
// loop which would otherwise hang a failing test.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/headless/headless_window.h"

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

// Quits the window's loop if the test has not ended it in time, and fails the test then.
class Watchdog {
 public:
  explicit Watchdog(MainWindow& window, std::chrono::seconds limit = std::chrono::seconds(10))
      : thread_([this, &window, limit] {
          std::unique_lock lock(mutex_);
          if (!stop_cv_.wait_for(lock, limit, [this] { return stopped_; })) {
            fired_ = true;
            window.Quit();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    stop_cv_.notify_all();
    thread_.join();
    EXPECT_FALSE(fired_) << "the loop had to be ended by the watchdog";
  }

 private:
  std::mutex mutex_;
  std::condition_variable stop_cv_;
  bool stopped_ = false;
  bool fired_ = false;
  std::thread thread_;
};

}  // namespace pmr::ui::headless::testing
