#pragma once

// Ends a window's loop that a failing test would otherwise leave hanging.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ui/window.h"

namespace pmr::ui::testing {

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

}  // namespace pmr::ui::testing
