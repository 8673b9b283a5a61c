#pragma once

// The terminal's FTP server: anonymous login, CWD/PWD/SIZE/TYPE/SYST/NOOP/QUIT and RETR over
// an active-mode data connection that it opens from its own address. Serves the files under
// one folder and nothing outside it. One thread per session, all joined by Stop(). Every wait
// on a peer is bounded. Thread-safe.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "net/socket.h"

namespace pmr::terminal_sim {

using LogLine = std::function<void(const std::string& line)>;

struct FtpServerTimeouts {
  std::chrono::milliseconds idle{60'000};     // between two commands
  std::chrono::milliseconds connect{10'000};  // the data connection to the client
  std::chrono::milliseconds send{30'000};
};

class FtpServer {
 public:
  // Listens at once on address:port (0 = any free port); raises net::SocketError.
  FtpServer(std::filesystem::path root, const std::string& address, uint16_t port, LogLine log,
            FtpServerTimeouts timeouts = {});
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  uint16_t port() const { return port_; }
  // Completed RETR transfers.
  long retr_count() const { return retr_count_.load(); }
  // Closes the listener and every session; waits for their threads.
  void Stop();

 private:
  struct Session {
    net::Socket control;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Serve(Session& session);
  void ReapDone();

  std::filesystem::path root_;
  std::string address_;
  LogLine log_;
  FtpServerTimeouts timeouts_;
  net::Socket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<long> retr_count_{0};
  Mutex mutex_;
  std::list<Session> sessions_ GUARDED_BY(mutex_);
  std::thread accept_thread_;
};

// The file under `root` that FTP path `path` names from working directory `cwd`, or empty
// when it would leave the root.
std::filesystem::path ResolveFtpPath(const std::filesystem::path& root, const std::string& cwd,
                                     const std::string& path);
// The working directory after "CWD path" from `cwd` ("/a/b" form), or empty when invalid.
std::string ChangeFtpDir(const std::string& cwd, const std::string& path);

}  // namespace pmr::terminal_sim
