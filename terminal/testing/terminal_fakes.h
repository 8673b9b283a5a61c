#pragma once

// Test doubles for the terminal commands: a log that records its lines and a face terminal
// (a real HTTP server on loopback) that records each call and answers from a script.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "net/http_server_test_util.h"
#include "state/effects.h"
#include "terminal/person_commands.h"

namespace pmr::terminal::testing {

class RecordingLog : public state::WindowEffects {
 public:
  void Log(std::string line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  void SetStatus(int, std::string) override {}
  void LogDetail(std::string) override {}
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool Has(const std::string& line) {
    for (const auto& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

struct TerminalCall {
  std::string path;
  std::string body;  // the form body as it came over the wire
};

// Answers each call with Reply(path, number of earlier calls to that path), sent as UTF-8.
class FakeTerminal {
 public:
  using Reply = std::function<std::string(const std::string& path, int nth)>;

  explicit FakeTerminal(Reply reply, std::string address = "127.0.0.1", std::uint16_t port = 0)
      : reply_(std::move(reply)) {
    server_.Bindings.push_back({std::move(address), port});
    server_.OnCommandGet = [this](net::TPeerThread&, net::THTTPRequestInfo& request,
                                  net::THTTPResponseInfo& response) {
      int nth = 0;
      {
        std::lock_guard lock(mutex_);
        for (const auto& c : calls_) nth += c.path == request.Document;
        calls_.push_back({request.Document, request.UnparsedParams});
      }
      response.ContentText = reply_(request.Document, nth);
      response.ContentType = "text/plain; charset=utf-8";
    };
    server_.SetActive(true);
  }

  TerminalTarget Target(std::string password = "pw") const {
    return {"127.0.0.1", std::move(password), server_.ListeningPort()};
  }
  std::vector<TerminalCall> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const auto& c : Calls()) paths.push_back(c.path);
    return paths;
  }

 private:
  // Declared before the server so that they outlive its threads.
  Reply reply_;
  std::mutex mutex_;
  std::vector<TerminalCall> calls_;
  net::THTTPServer server_{0};
};

// A loopback port with nobody listening.
inline std::uint16_t ClosedPort() {
  net::THTTPServer server(0);
  server.Bindings.push_back({"127.0.0.1", 0});
  server.SetActive(true);
  const std::uint16_t port = server.ListeningPort();
  server.SetActive(false);
  return port;
}

}  // namespace pmr::terminal::testing
