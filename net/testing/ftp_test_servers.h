#pragma once

// FTP peers for tests, on loopback only: a real pyftpdlib server (Debian's python3-pyftpdlib,
// run by /usr/bin/python3) and a scripted fake for reply shapes a real server never sends.
// Test code only; POSIX.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/socket.h"
#include "net/testing/temp_files.h"

namespace pmr::net::testing {

// The server: user "anonymous" with a checked password, rooted at the given folder.
// Files whose names begin with "dies" kill the server after 1 MiB has been sent; files whose
// names begin with "gated" are held back until a file "release" appears in the root.
// The process ends when its standard input closes.
inline constexpr const char* kPyFtpdScript = R"py(
import io, logging, os, sys, threading, time
from pyftpdlib.authorizers import DummyAuthorizer, AuthenticationFailed
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

root, password, address, port_file = sys.argv[1:5]
logging.basicConfig(level=logging.CRITICAL)

class Authorizer(DummyAuthorizer):
    def validate_authentication(self, username, given, handler):
        if username != "anonymous" or given != password:
            raise AuthenticationFailed("Authentication failed.")

class NoSendfile(io.FileIO):
    def fileno(self):
        raise io.UnsupportedOperation("read() only")

class DyingFile(NoSendfile):
    sent = 0
    def read(self, size=-1):
        if self.sent >= 1 << 20:
            os._exit(3)
        data = super().read(min(size, 65536) if size and size > 0 else 65536)
        self.sent += len(data)
        return data

class GatedFile(NoSendfile):
    def read(self, size=-1):
        deadline = time.time() + 30
        while not os.path.exists(os.path.join(root, "release")) and time.time() < deadline:
            time.sleep(0.01)
        return super().read(size)

class Files(AbstractedFS):
    def open(self, filename, mode):
        name = os.path.basename(filename)
        if name.startswith("dies"):
            return DyingFile(filename, mode)
        if name.startswith("gated"):
            return GatedFile(filename, mode)
        return super().open(filename, mode)

authorizer = Authorizer()
authorizer.add_user("anonymous", password, root, perm="elr")
handler = FTPHandler
handler.authorizer = authorizer
handler.abstracted_fs = Files
handler.auth_failed_timeout = 0.05
server = ThreadedFTPServer((address, 0), handler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.socket.getsockname()[1]))
os.replace(port_file + ".tmp", port_file)
threading.Thread(target=server.serve_forever, daemon=True).start()
sys.stdin.read()
os._exit(0)
)py";

class PyFtpServer {
 public:
  PyFtpServer(const std::filesystem::path& root, const std::string& password,
              const std::string& address = "127.0.0.1") {
    std::filesystem::create_directories(root);
    WriteFile(work_.path() / "server.py", kPyFtpdScript);
    std::filesystem::path port_file = work_.path() / "port";
    std::filesystem::path errors = work_.path() / "stderr";
    std::string command = "exec /usr/bin/python3 " + Quote(work_.path() / "server.py") + " " +
                          Quote(root) + " " + Quote(password) + " " + Quote(address) + " " +
                          Quote(port_file) + " 2>" + Quote(errors);
    child_ = ::popen(command.c_str(), "w");
    if (!child_) throw std::runtime_error("cannot start /usr/bin/python3");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(port_file)) {
      if (std::chrono::steady_clock::now() > deadline) {
        std::string why = ReadFile(errors);
        Stop();
        throw std::runtime_error("pyftpdlib did not start (is python3-pyftpdlib installed?): " +
                                 why);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port_ = static_cast<uint16_t>(std::stoi(ReadFile(port_file)));
  }
  ~PyFtpServer() { Stop(); }
  PyFtpServer(const PyFtpServer&) = delete;
  PyFtpServer& operator=(const PyFtpServer&) = delete;

  uint16_t port() const { return port_; }

 private:
  static std::string Quote(const std::filesystem::path& path) { return Quote(path.string()); }
  static std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
      if (c == '\'') {
        quoted += "'\\''";
      } else {
        quoted += c;
      }
    }
    return quoted + "'";
  }
  void Stop() {
    // Closing its standard input ends the server; pclose waits for it.
    if (child_) ::pclose(child_);
    child_ = nullptr;
  }

  TempFolder work_;
  FILE* child_ = nullptr;
  uint16_t port_ = 0;
};

// A TCP connection made from a chosen local address, which net::Socket cannot do.
class BoundConnection {
 public:
  BoundConnection(const std::string& local, const std::string& host, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, local.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      Close();
      throw std::runtime_error("cannot connect from " + local);
    }
  }
  ~BoundConnection() { Close(); }
  BoundConnection(const BoundConnection&) = delete;
  BoundConnection& operator=(const BoundConnection&) = delete;

  void SendAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      done += static_cast<std::size_t>(n);
    }
  }
  // True when the peer closed (or reset) the connection within `timeout`.
  bool ClosedByPeer(std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// What a scripted fake can do while it answers one command.
class FakeFtpSession {
 public:
  explicit FakeFtpSession(Socket& control) : control_(control) {}

  void Reply(const std::string& raw) { control_.SendAll(raw); }
  // The address and port of the client's last PORT command.
  const std::string& data_host() const { return data_host_; }
  uint16_t data_port() const { return data_port_; }
  // Connects to the client's data listener, sends `bytes` and closes.
  void SendData(const std::string& bytes) {
    Socket data = Socket::Connect(data_host_, data_port_, std::chrono::seconds(5));
    data.SendAll(bytes);
    data.Close();
  }

  // Parses "PORT h1,h2,h3,h4,p1,p2"; false when it is malformed.
  bool ParsePort(const std::string& command) {
    int h[4];
    int p[2];
    if (std::sscanf(command.c_str(), "PORT %d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p[0],
                    &p[1]) != 6) {
      return false;
    }
    data_host_ = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." + std::to_string(h[2]) +
                 "." + std::to_string(h[3]);
    data_port_ = static_cast<uint16_t>(p[0] * 256 + p[1]);
    return true;
  }

 private:
  Socket& control_;
  std::string data_host_;
  uint16_t data_port_ = 0;
};

// Serves one control connection: sends `greeting`, then hands every command line (without
// its CR LF) to the script. "PORT" lines are parsed before the script sees them.
class FakeFtpServer {
 public:
  using Script = std::function<void(const std::string& command, FakeFtpSession& session)>;

  FakeFtpServer(std::string greeting, Script script, const std::string& address = "127.0.0.1")
      : listener_(Socket::Listen(address, 0)),
        port_(listener_.LocalPort()),
        greeting_(std::move(greeting)),
        script_(std::move(script)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeFtpServer() { Join(); }
  FakeFtpServer(const FakeFtpServer&) = delete;
  FakeFtpServer& operator=(const FakeFtpServer&) = delete;

  uint16_t port() const { return port_; }
  // Waits until the client has gone (or the fake gave up after 10 s).
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  std::string error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  void Serve() {
    try {
      Socket control = listener_.AcceptFor(std::chrono::seconds(10));
      listener_.Close();
      if (!control.valid()) return;
      control.SetReceiveTimeout(std::chrono::seconds(10));
      FakeFtpSession session(control);
      control.SendAll(greeting_);
      std::string pending;
      char chunk[1024];
      for (;;) {
        std::size_t end;
        while ((end = pending.find("\r\n")) != std::string::npos) {
          std::string command = pending.substr(0, end);
          pending.erase(0, end + 2);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(command);
          }
          if (command.rfind("PORT ", 0) == 0) session.ParsePort(command);
          script_(command, session);
        }
        std::size_t n = control.Receive(chunk, sizeof chunk);
        if (n == 0) return;
        pending.append(chunk, n);
      }
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(mutex_);
      error_ = e.what();
    }
  }

  Socket listener_;
  uint16_t port_;
  std::string greeting_;
  Script script_;
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string error_;
  std::thread thread_;
};

}  // namespace pmr::net::testing
