#pragma once

// The FTP client subset that fetches one file: connect with login, CWD, SIZE, RETR over an
// active-mode data connection, and drop the connection (no QUIT). One object serves one
// thread. Every wait is bounded by FtpTimeouts; failures raise FtpReplyError (refused or
// malformed reply), SocketError (the connection) or pmr::Error (a refused argument).

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "net/socket.h"

namespace pmr::net {

// A reply outside the accepted codes (code() is the reply code, what() its text), or a reply
// that breaks the protocol (code() 0).
class FtpReplyError : public pmr::Error {
 public:
  FtpReplyError(int code, const std::string& text) : pmr::Error(text), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// One reply: its code and its lines, each trimmed of blanks and still carrying its prefix.
struct FtpReply {
  int code = 0;
  std::vector<std::string> lines;

  // The lines without their "NNN " / "NNN-" prefixes, joined by "\n".
  std::string Text() const;
};

struct FtpTimeouts {
  std::chrono::milliseconds connect{10'000};
  // For each whole reply.
  std::chrono::milliseconds reply{30'000};
  // For the server's data connection to arrive, and between its reads.
  std::chrono::milliseconds data{30'000};
};

class TFTPClient {
 public:
  TFTPClient() = default;
  TFTPClient(const TFTPClient&) = delete;
  TFTPClient& operator=(const TFTPClient&) = delete;
  TFTPClient(TFTPClient&&) = default;
  TFTPClient& operator=(TFTPClient&&) = default;

  void set_host(const std::string& host) { host_ = host; }
  void set_port(uint16_t port) { port_ = port; }
  void set_username(const std::string& username) { username_ = username; }
  void set_password(const std::string& password) { password_ = password; }
  void set_timeouts(const FtpTimeouts& timeouts) { timeouts_ = timeouts; }

  // Connects and logs in: greeting 220; USER (230, or 331 then PASS 230); TYPE I; SYST.
  // On failure the connection is closed again.
  void Connect();
  bool Connected() const { return control_.valid(); }
  // From SYST: its first line, or "Unknown" when the server answered 500.
  const std::string& system_desc() const { return system_desc_; }

  void ChangeDir(const std::string& path);
  // The size the server reports (213), or -1 for any other answer.
  int64_t Size(const std::string& name);
  // Retrieves `name` into `destination` over a data connection that the server opens to us.
  // False when the server reported the transfer aborted (426/450, then 226/225); the bytes
  // that came are in `destination` either way.
  bool Get(const std::string& name, std::ostream& destination);
  // Closes the control connection.
  void Disconnect();

 private:
  using Clock = std::chrono::steady_clock;

  FtpReply Command(const std::string& command, std::initializer_list<int> accepted);
  void Send(const std::string& command);
  FtpReply ReadReply();
  std::string ReadLine(Clock::time_point deadline);
  // Waits for the data connection from the control connection's peer. A reply that comes
  // first is an error when negative; a positive one is kept in `early`.
  Socket AcceptData(Socket& listener, FtpReply& early);

  std::string host_;
  uint16_t port_ = 21;
  std::string username_;
  std::string password_;
  FtpTimeouts timeouts_;

  Socket control_;
  std::string peer_address_;
  std::string buffer_;  // control bytes received but not yet read as lines
  std::string system_desc_;
};

}  // namespace pmr::net
