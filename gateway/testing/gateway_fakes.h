#pragma once

// Test doubles for the gateway: a window that records its effects and a portal that records
// the uploads it receives (a real HTTP server on loopback).

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/callback_handler.h"
#include "net/http_server.h"

namespace pmr::gateway::testing {

using namespace std::chrono_literals;

class RecordingWindow : public GatewayWindow {
 public:
  void Log(std::string line) override {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(line));
  }
  void SetStatus(int panel, std::string text) override {
    std::lock_guard lock(mutex_);
    status_[panel] = std::move(text);
  }
  void LogDetail(std::string line) override {
    std::lock_guard lock(mutex_);
    details_.push_back(std::move(line));
  }
  void NavigateMainPaneIfShowing(std::string mark, std::string url) override {
    std::lock_guard lock(mutex_);
    if (location_.find(mark) == std::string::npos) return;
    navigations_.push_back(url);
    location_ = std::move(url);
  }
  void ArmLiveListTimer() override { ++timer_armed_; }

  void SetLocation(std::string url) {
    std::lock_guard lock(mutex_);
    location_ = std::move(url);
  }
  std::vector<std::string> navigations() {
    std::lock_guard lock(mutex_);
    return navigations_;
  }
  int timer_armed() const { return timer_armed_; }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  std::vector<std::string> details() {
    std::lock_guard lock(mutex_);
    return details_;
  }
  std::string status(int panel) {
    std::lock_guard lock(mutex_);
    return status_[panel];
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> log_, details_;
  std::map<int, std::string> status_;
  std::string location_;
  std::vector<std::string> navigations_;
  std::atomic<int> timer_armed_{0};
};

// A portal that records each upload's decoded form fields.
class FakePortal {
 public:
  explicit FakePortal(int status = 200, std::chrono::milliseconds delay = 0ms)
      : server_(0), status_(status) {
    server_.Bindings.push_back({"127.0.0.1", 0});
    server_.OnCommandGet = [this, delay](net::TPeerThread&, net::THTTPRequestInfo& req,
                                         net::THTTPResponseInfo& res) {
      int now = ++in_flight_;
      int seen = max_in_flight_.load();
      while (now > seen && !max_in_flight_.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(delay);
      const int answer = status_;
      {
        std::lock_guard lock(mutex_);
        ++requests_;
        if (answer < 300) {
          documents_.push_back(req.Document);
          uploads_.push_back(req.Params);
        }
      }
      --in_flight_;
      res.SetResponseNo(answer);
      res.ContentText = "上传成功";
    };
    server_.SetActive(true);
  }
  ~FakePortal() { server_.SetActive(false); }

  std::string host() { return "127.0.0.1:" + std::to_string(server_.ListeningPort()); }
  std::vector<std::vector<std::string>> uploads() {
    std::lock_guard lock(mutex_);
    return uploads_;
  }
  std::vector<std::string> documents() {
    std::lock_guard lock(mutex_);
    return documents_;
  }
  int max_in_flight() const { return max_in_flight_; }
  // Every request, accepted or not.
  int requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // From now on every request is answered with `status`; what is not accepted is not kept.
  void set_status(int status) { status_ = status; }

 private:
  net::THTTPServer server_;
  std::mutex mutex_;
  std::vector<std::vector<std::string>> uploads_;
  std::vector<std::string> documents_;
  int requests_ = 0;
  std::atomic<int> status_;
  std::atomic<int> in_flight_{0}, max_in_flight_{0};
};

}  // namespace pmr::gateway::testing
