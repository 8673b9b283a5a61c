#include "tools/terminal_sim/ftp_server.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "net/buffered_reader.h"
#include "net/http_message.h"

namespace pmr::terminal_sim {
namespace {

constexpr net::LineRules kCommandLine{4096};

void Reply(net::Socket& socket, const std::string& line) { socket.SendAll(line + "\r\n"); }

// "h1,h2,h3,h4,p1,p2" into address and port; false when malformed.
bool ParsePortArgument(const std::string& text, std::string& address, uint16_t& port) {
  std::vector<int> parts;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, ',')) {
    if (piece.empty() || piece.size() > 3 ||
        piece.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    int value = std::stoi(piece);
    if (value > 255) return false;
    parts.push_back(value);
  }
  if (parts.size() != 6) return false;
  address = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
            std::to_string(parts[2]) + "." + std::to_string(parts[3]);
  port = static_cast<uint16_t>(parts[4] * 256 + parts[5]);
  return port != 0;
}

std::vector<std::string> Segments(const std::string& path) {
  std::vector<std::string> out;
  std::stringstream in(path);
  std::string piece;
  while (std::getline(in, piece, '/')) {
    if (!piece.empty()) out.push_back(piece);
  }
  return out;
}

// Joins `path` onto `cwd`; "." and ".." steps are resolved, a step above the root fails.
bool Normalise(const std::string& cwd, const std::string& path, std::vector<std::string>& out) {
  out = path.starts_with("/") ? std::vector<std::string>() : Segments(cwd);
  for (const std::string& step : Segments(path)) {
    if (step == ".") continue;
    if (step == "..") {
      if (out.empty()) return false;
      out.pop_back();
      continue;
    }
    if (step.find('\\') != std::string::npos || step.find(':') != std::string::npos) return false;
    out.push_back(step);
  }
  return true;
}

}  // namespace

std::string ChangeFtpDir(const std::string& cwd, const std::string& path) {
  std::vector<std::string> steps;
  if (!Normalise(cwd, path, steps)) return "";
  std::string result;
  for (const std::string& step : steps) result += "/" + step;
  return result.empty() ? "/" : result;
}

std::filesystem::path ResolveFtpPath(const std::filesystem::path& root, const std::string& cwd,
                                     const std::string& path) {
  std::vector<std::string> steps;
  if (path.empty() || !Normalise(cwd, path, steps)) return {};
  std::filesystem::path result = root;
  for (const std::string& step : steps) result /= step;
  return result;
}

FtpServer::FtpServer(std::filesystem::path root, const std::string& address, uint16_t port,
                     LogLine log, FtpServerTimeouts timeouts)
    : root_(std::move(root)),
      address_(address),
      log_(std::move(log)),
      timeouts_(timeouts),
      listener_(net::Socket::Listen(address, port)),
      port_(listener_.LocalPort()) {
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

FtpServer::~FtpServer() { Stop(); }

void FtpServer::Stop() {
  if (stopping_.exchange(true)) {
    if (accept_thread_.joinable()) accept_thread_.join();
    return;
  }
  listener_.Interrupt();
  if (accept_thread_.joinable()) accept_thread_.join();
  std::list<Session> sessions;
  {
    MutexLock lock(mutex_);
    for (Session& session : sessions_) session.control.Interrupt();
    sessions.splice(sessions.end(), sessions_);
  }
  for (Session& session : sessions) {
    if (session.thread.joinable()) session.thread.join();
  }
  listener_.Close();
}

void FtpServer::ReapDone() {
  std::list<Session> done;
  {
    MutexLock lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      auto next = std::next(it);
      if (it->done.load()) done.splice(done.end(), sessions_, it);
      it = next;
    }
  }
  for (Session& session : done) session.thread.join();
}

void FtpServer::AcceptLoop() {
  while (!stopping_.load()) {
    net::Socket accepted;
    try {
      accepted = listener_.AcceptFor(std::chrono::milliseconds(200));
    } catch (const net::SocketError&) {
      if (stopping_.load()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    ReapDone();
    if (!accepted.valid()) continue;
    MutexLock lock(mutex_);
    if (stopping_.load()) return;
    Session& session = sessions_.emplace_back();
    session.control = std::move(accepted);
    session.thread = std::thread([this, &session] {
      try {
        Serve(session);
      } catch (const std::exception&) {
        // A peer that went away or stayed silent ends its session only.
      }
      session.done = true;
    });
  }
}

void FtpServer::Serve(Session& session) {
  net::Socket& control = session.control;
  control.SetReceiveTimeout(timeouts_.idle);
  control.SetSendTimeout(timeouts_.send);
  Reply(control, "220 terminal FTP ready");
  net::BufferedReader reader(control, 1024);
  const auto wait = net::BufferedReader::Wait::SocketTimeout(timeouts_.idle);
  std::string user;
  bool logged_in = false;
  std::string cwd = "/";
  std::string data_address;
  uint16_t data_port = 0;
  // A line over the cap raises and ends the session, as a close does.
  std::optional<std::string> line;
  while (!stopping_.load() && (line = reader.ReadLine(kCommandLine, wait))) {
    std::size_t blank = line->find(' ');
    std::string verb = AsciiUpper(line->substr(0, blank));
    std::string argument =
        blank == std::string::npos ? "" : std::string(TrimBlanks(line->substr(blank + 1)));
    if (verb == "USER") {
      user = argument;
      logged_in = false;
      if (EqualsIgnoreCaseAscii(user, "anonymous") || EqualsIgnoreCaseAscii(user, "ftp")) {
        Reply(control, "331 Password required for " + user);
      } else {
        Reply(control, "530 Only anonymous login is allowed");
      }
    } else if (verb == "PASS") {
      if (EqualsIgnoreCaseAscii(user, "anonymous") || EqualsIgnoreCaseAscii(user, "ftp")) {
        logged_in = true;
        Reply(control, "230 Login successful");
      } else {
        Reply(control, "503 Login with USER first");
      }
    } else if (verb == "QUIT") {
      Reply(control, "221 Goodbye");
      return;
    } else if (verb == "NOOP") {
      Reply(control, "200 NOOP ok");
    } else if (verb == "SYST") {
      Reply(control, "215 UNIX Type: L8");
    } else if (!logged_in) {
      Reply(control, "530 Please login with USER and PASS");
    } else if (verb == "TYPE") {
      std::string type = AsciiUpper(argument);
      if (type == "I" || type == "A" || type == "L 8" || type == "A N") {
        Reply(control, "200 Type set to " + type.substr(0, 1));
      } else {
        Reply(control, "504 Type not supported");
      }
    } else if (verb == "PWD" || verb == "XPWD") {
      Reply(control, "257 \"" + cwd + "\" is the current directory");
    } else if (verb == "CWD" || verb == "CDUP") {
      std::string target = ChangeFtpDir(cwd, verb == "CDUP" ? ".." : argument);
      std::error_code error;
      if (!target.empty() &&
          std::filesystem::is_directory(ResolveFtpPath(root_, "/", target.empty() ? "/" : target),
                                        error)) {
        cwd = target;
        Reply(control, "250 Directory changed to " + cwd);
      } else {
        Reply(control, "550 No such directory");
      }
    } else if (verb == "SIZE") {
      std::filesystem::path file = ResolveFtpPath(root_, cwd, argument);
      std::error_code error;
      if (!file.empty() && std::filesystem::is_regular_file(file, error)) {
        Reply(control, "213 " + std::to_string(std::filesystem::file_size(file, error)));
      } else {
        Reply(control, "550 No such file");
      }
    } else if (verb == "PORT") {
      std::string address;
      uint16_t port = 0;
      if (!ParsePortArgument(argument, address, port)) {
        Reply(control, "501 Bad PORT argument");
      } else if (!address.starts_with("127.")) {
        // The stand-in only ever talks to loopback peers.
        Reply(control, "504 Only loopback data connections");
      } else {
        data_address = address;
        data_port = port;
        Reply(control, "200 PORT command successful");
      }
    } else if (verb == "RETR") {
      std::filesystem::path file = ResolveFtpPath(root_, cwd, argument);
      std::error_code error;
      std::ifstream in;
      if (!file.empty() && std::filesystem::is_regular_file(file, error)) {
        in.open(file, std::ios::binary);
      }
      std::string shown = ChangeFtpDir(cwd, argument);
      if (!in.is_open()) {
        Reply(control, "550 No such file");
        if (log_) log_("ftp RETR " + shown + " failed: no such file");
        continue;
      }
      if (data_port == 0) {
        Reply(control, "425 Use PORT first");
        if (log_) log_("ftp RETR " + shown + " failed: no PORT");
        continue;
      }
      Reply(control, "150 Opening BINARY mode data connection");
      std::size_t sent = 0;
      try {
        net::Socket data =
            net::Socket::Connect(data_address, data_port, timeouts_.connect, address_);
        data.SetSendTimeout(timeouts_.send);
        char chunk[65536];
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
          data.SendAll(std::string_view(chunk, static_cast<std::size_t>(in.gcount())));
          sent += static_cast<std::size_t>(in.gcount());
        }
        data.ShutdownSend();
      } catch (const net::SocketError& e) {
        data_port = 0;
        Reply(control, "425 Cannot open data connection");
        if (log_) log_("ftp RETR " + shown + " failed: " + e.what());
        continue;
      }
      data_port = 0;
      Reply(control, "226 Transfer complete");
      ++retr_count_;
      if (log_) log_("ftp RETR " + shown + " " + std::to_string(sent) + " bytes");
    } else {
      Reply(control, "502 Command not implemented");
    }
  }
}

}  // namespace pmr::terminal_sim
