#include "net/ftp_client.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/text.h"
#include "net/buffered_reader.h"

namespace pmr::net {
namespace {

using Millis = std::chrono::milliseconds;

// A reply line longer than this, or a reply larger than kMaxReplyBytes, is not an FTP server
// talking; refusing it keeps a broken peer from growing our memory without bound.
constexpr std::size_t kMaxLineBytes = 16 * 1024;
constexpr std::size_t kMaxReplyBytes = 64 * 1024;
constexpr std::size_t kDataChunk = 64 * 1024;
constexpr std::size_t kReadPiece = 4096;
// How often the wait for the data connection also looks at the control connection.
constexpr Millis kAcceptSlice{20};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool Accepted(int code, std::initializer_list<int> accepted) {
  return std::find(accepted.begin(), accepted.end(), code) != accepted.end();
}

// True for the line that ends a multi-line reply of `code`: the code, then a blank or nothing
// (the blank is gone when the line was trimmed).
bool EndsReply(const std::string& line, const std::string& code) {
  return line.compare(0, 3, code) == 0 && (line.size() == 3 || line[3] == ' ');
}

[[noreturn]] void TimedOut(const std::string& what) {
  throw SocketError(0, SocketError::Kind::kTimeout, "Timed out waiting for " + what);
}

Millis Remaining(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
  return std::max(left, Millis(0));
}

}  // namespace

std::string FtpReply::Text() const {
  std::string text;
  std::string prefix = std::to_string(code);
  prefix.insert(0, prefix.size() < 3 ? 3 - prefix.size() : 0, '0');
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string_view rest = line;
    if (line.size() >= 3 && line.compare(0, 3, prefix) == 0 &&
        (line.size() == 3 || line[3] == ' ' || line[3] == '-')) {
      rest.remove_prefix(std::min<std::size_t>(line.size(), 4));
    }
    if (i > 0) text += '\n';
    text += rest;
  }
  return text;
}

void TFTPClient::Connect() {
  if (Connected()) throw pmr::Error("The FTP client is already connected");
  if (host_.empty()) throw pmr::Error("No FTP host given");
  control_ = Socket::Connect(host_, port_, timeouts_.connect);
  try {
    control_.SetSendTimeout(timeouts_.reply);
    peer_address_ = control_.PeerAddress();
    buffer_.clear();
    FtpReply greeting = ReadReply();
    if (greeting.code != 220) throw FtpReplyError(greeting.code, greeting.Text());
    FtpReply user = Command("USER " + username_, {230, 331});
    if (user.code == 331) Command("PASS " + password_, {230});
    Command("TYPE I", {200});
    FtpReply syst = Command("SYST", {200, 215, 500});
    if (syst.code == 500) {
      system_desc_ = "Unknown";
    } else {
      FtpReply first{syst.code, {syst.lines.front()}};
      system_desc_ = first.Text();
    }
  } catch (...) {
    Disconnect();
    throw;
  }
}

void TFTPClient::ChangeDir(const std::string& path) { Command("CWD " + path, {200, 250}); }

int64_t TFTPClient::Size(const std::string& name) {
  Send("SIZE " + name);
  FtpReply reply = ReadReply();
  if (reply.code != 213) return -1;
  // The number is the line's second word: "213 5242880".
  std::string line = reply.lines.front();
  std::size_t blank = line.find(' ');
  std::string number = blank == std::string::npos ? std::string() : std::string(TrimBlanks(line.substr(blank)));
  if (number.empty() || number.size() > 18) return -1;
  int64_t size = 0;
  for (char c : number) {
    if (!IsDigit(c)) return -1;
    size = size * 10 + (c - '0');
  }
  return size;
}

bool TFTPClient::Get(const std::string& name, std::ostream& destination) {
  if (!Connected()) throw pmr::Error("The FTP client is not connected");
  std::string local = control_.LocalAddress();
  Socket listener = Socket::Listen(local, 0, 15);
  uint16_t port = listener.LocalPort();
  std::string address = local;
  std::replace(address.begin(), address.end(), '.', ',');
  Command("PORT " + address + "," + std::to_string(port / 256) + "," + std::to_string(port % 256),
          {200});
  Command("RETR " + name, {125, 150, 154});

  FtpReply early;
  Socket data = AcceptData(listener, early);
  listener.Close();

  data.SetReceiveTimeout(timeouts_.data);
  std::vector<char> chunk(kDataChunk);
  for (;;) {
    std::size_t n;
    try {
      n = data.Receive(chunk.data(), chunk.size());
    } catch (const SocketError& e) {
      if (e.IsTimeout()) TimedOut("the FTP server's data");
      throw;
    }
    if (n == 0) break;
    destination.write(chunk.data(), static_cast<std::streamsize>(n));
    if (!destination) throw pmr::Error("Cannot write the received file");
  }
  data.Close();

  FtpReply final = early.code != 0 ? early : ReadReply();
  if (!Accepted(final.code, {225, 226, 250, 426, 450})) {
    throw FtpReplyError(final.code, final.Text());
  }
  if (final.code == 426 || final.code == 450) {
    FtpReply after = ReadReply();
    if (!Accepted(after.code, {226, 225})) throw FtpReplyError(after.code, after.Text());
    return false;
  }
  return true;
}

void TFTPClient::Disconnect() {
  control_.Close();
  buffer_.clear();
}

Socket TFTPClient::AcceptData(Socket& listener, FtpReply& early) {
  auto deadline = Clock::now() + timeouts_.data;
  auto take = [&](Socket candidate) -> Socket {
    // Only the server we talk to may deliver the file; anyone else is turned away.
    if (!candidate.valid()) return candidate;
    try {
      if (candidate.PeerAddress() == peer_address_) return candidate;
    } catch (const SocketError&) {
      // Gone again before we looked: as good as a stranger.
    }
    candidate.Close();
    return candidate;
  };
  for (;;) {
    Millis left = Remaining(deadline);
    if (left.count() == 0) TimedOut("the FTP server's data connection");
    Socket data = take(listener.AcceptFor(std::min(left, kAcceptSlice)));
    if (data.valid()) return data;
    if (early.code == 0 && (!buffer_.empty() || control_.WaitReadable(Millis(0)))) {
      // A connection made before the reply was sent is already queued: take it first.
      data = take(listener.AcceptFor(Millis(0)));
      if (data.valid()) return data;
      FtpReply reply = ReadReply();
      if (reply.code < 200 || reply.code >= 300) throw FtpReplyError(reply.code, reply.Text());
      early = reply;
    }
  }
}

FtpReply TFTPClient::Command(const std::string& command, std::initializer_list<int> accepted) {
  Send(command);
  FtpReply reply = ReadReply();
  if (!Accepted(reply.code, accepted)) throw FtpReplyError(reply.code, reply.Text());
  return reply;
}

void TFTPClient::Send(const std::string& command) {
  if (!Connected()) throw pmr::Error("The FTP client is not connected");
  // A line break would smuggle a second command to the server.
  if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    throw pmr::Error("FTP command refused: it contains a line break or NUL");
  }
  control_.SendAll(command + "\r\n");
}

FtpReply TFTPClient::ReadReply() {
  auto deadline = Clock::now() + timeouts_.reply;
  FtpReply reply;
  std::string first;
  do {
    first = TrimBlanks(ReadLine(deadline));
  } while (first.empty());
  if (first.size() < 3 || !IsDigit(first[0]) || !IsDigit(first[1]) || !IsDigit(first[2])) {
    throw FtpReplyError(0, "Malformed FTP reply: " + first);
  }
  std::string code = first.substr(0, 3);
  reply.code = std::stoi(code);
  reply.lines.push_back(first);
  if (first.size() > 3 && first[3] == '-') {
    std::size_t total = first.size();
    for (;;) {
      std::string line(TrimBlanks(ReadLine(deadline)));
      total += line.size() + 1;
      if (total > kMaxReplyBytes) throw FtpReplyError(0, "FTP reply too long");
      reply.lines.push_back(line);
      if (EndsReply(line, code)) break;
    }
  }
  return reply;
}

std::string TFTPClient::ReadLine(Clock::time_point deadline) {
  BufferedReader reader(control_, buffer_, kReadPiece);
  std::optional<std::string> line;
  try {
    // The CR stays: the caller trims the line.
    line = reader.ReadLine({kMaxLineBytes, /*strip_cr=*/false},
                           BufferedReader::Wait::Until(deadline));
  } catch (const LineTooLongError&) {
    throw FtpReplyError(0, "FTP reply line too long");
  } catch (const SocketError& e) {
    if (e.IsTimeout()) TimedOut("the FTP server's reply");
    throw;
  }
  if (!line) {
    throw SocketError(0, SocketError::Kind::kOther, "The FTP server closed the connection");
  }
  if (line->find('\0') != std::string::npos) {
    throw FtpReplyError(0, "FTP reply line contains a NUL byte");
  }
  return std::move(*line);
}

}  // namespace pmr::net
