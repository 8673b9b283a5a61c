#pragma once

// Test helpers for the HTTP server: a server on 127.0.0.1 with an ephemeral port that records
// its requests and connection errors, and a raw-socket client that reads until close.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/http_server.h"
#include "net/socket.h"

namespace pmr::net::testing {

class TestServer {
  // Declared before the server so that they outlive its threads.
  std::function<void(THTTPRequestInfo&, THTTPResponseInfo&)> handler_;
  std::mutex mutex_;
  std::vector<THTTPRequestInfo> requests_;
  std::vector<std::string> errors_;

 public:
  using Handler = std::function<void(THTTPRequestInfo&, THTTPResponseInfo&)>;

  explicit TestServer(Handler handler = {}, HttpServerLimits limits = {})
      : handler_(std::move(handler)) {
    server.Limits = limits;
    server.Bindings.push_back({"127.0.0.1", 0});
    server.OnCommandGet = [this](TPeerThread&, THTTPRequestInfo& request,
                                 THTTPResponseInfo& response) {
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      if (handler_) handler_(request, response);
    };
    server.OnException = [this](TPeerThread&, const std::string& message) {
      std::lock_guard lock(mutex_);
      errors_.push_back(message);
    };
    server.SetActive(true);
    port = server.ListeningPort();
  }

  std::vector<THTTPRequestInfo> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> Errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

  THTTPServer server;
  std::uint16_t port = 0;
};

inline Socket ConnectTo(std::uint16_t port) {
  return Socket::Connect("127.0.0.1", port, std::chrono::milliseconds(5000));
}

// Everything the peer sends until it closes (a reset ends the reading too).
inline std::string ReadUntilClose(Socket& socket,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  socket.SetReceiveTimeout(timeout);
  std::string received;
  char buffer[8192];
  try {
    for (;;) {
      std::size_t n = socket.Receive(buffer, sizeof buffer);
      if (n == 0) break;
      received.append(buffer, n);
    }
  } catch (const SocketError& e) {
    if (!e.IsAbortedOrReset()) throw;
  }
  return received;
}

// Sends `request` (then half-closes when `shutdown_send`) and returns the whole answer.
inline std::string Exchange(std::uint16_t port, const std::string& request,
                            bool shutdown_send = false) {
  Socket socket = ConnectTo(port);
  socket.SendAll(request);
  if (shutdown_send) socket.ShutdownSend();
  return ReadUntilClose(socket);
}

}  // namespace pmr::net::testing
