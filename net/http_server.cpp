#include "net/http_server.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <system_error>

#include "net/base64.h"

namespace pmr::net {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr std::size_t kMaxLine = 16384;
constexpr int kSocketBuffer = 32768;
constexpr Millis kPollInterval{250};
constexpr Millis kIdleThreadTime{2000};

// Quiet ends of a connection: the peer closed, or it did not send in time.
struct PeerClosed {};
struct ReadTimeout {};
struct BodyTooLarge {};
// The head deadline passed after the request had begun to arrive.
struct HeadTimedOut {};

// Holds back a small write (the header) to send it with the next one when both fit in one
// piece, so that a short answer leaves in one segment. Flush() sends what is held.
class SocketSink : public ResponseSink {
 public:
  explicit SocketSink(Socket& socket) : socket_(socket) {}
  void Write(std::string_view bytes) override {
    if (held_.size() + bytes.size() > THTTPResponseInfo::kStreamPiece) Flush();
    if (bytes.size() >= THTTPResponseInfo::kStreamPiece) {
      socket_.SendAll(bytes);
    } else {
      held_.append(bytes);
    }
  }
  void Flush() {
    if (held_.empty()) return;
    socket_.SendAll(held_);
    held_.clear();
  }

 private:
  Socket& socket_;
  std::string held_;
};

// Content-Length as a decimal integer; -1 when it is not one (negative values included).
std::int64_t ParseContentLength(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
    return -1;
  }
  return value;
}

bool IsServedMethod(const std::string& method) {
  return method == "GET" || method == "POST" || method == "HEAD";
}

}  // namespace

// Buffered reading of one connection with the server's deadlines.
class THTTPServer::RequestReader {
 public:
  RequestReader(Socket& socket, std::string& chunk) : socket_(socket), chunk_(chunk) {
    chunk_.resize(kSocketBuffer);
  }

  // A line up to LF without its CR LF. Raises "Max line length exceeded." for a longer one.
  std::string ReadLine(Clock::time_point deadline) {
    for (;;) {
      std::size_t lf = buffer_.find('\n', scan_from_);
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(start_, lf - start_);
        Consume(lf + 1 - start_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxLine) throw HttpServerError("Max line length exceeded.");
        return line;
      }
      scan_from_ = buffer_.size();
      // One byte more for the CR that may still precede the LF.
      if (Available() > kMaxLine + 1) throw HttpServerError("Max line length exceeded.");
      if (!Fill(deadline)) throw PeerClosed{};
    }
  }

  std::string ReadExact(std::size_t count, Millis idle) {
    while (Available() < count) {
      if (!Fill(Clock::now() + idle)) throw PeerClosed{};
    }
    return Take(count);
  }

  std::string ReadToClose(std::size_t cap, Millis idle) {
    for (;;) {
      if (Available() > cap) throw BodyTooLarge{};
      if (!Fill(Clock::now() + idle)) break;
    }
    return Take(Available());
  }

  // True when bytes of a line not yet complete are buffered.
  bool HasPending() const { return Available() > 0; }

  // Discards what the peer still sends until it closes or `deadline` passes.
  void Drain(Clock::time_point deadline) {
    buffer_.clear();
    start_ = scan_from_ = 0;
    try {
      while (Fill(deadline)) buffer_.clear();
    } catch (...) {
      // Time-outs and resets end the drain; the answer is out already.
    }
  }

 private:
  std::size_t Available() const { return buffer_.size() - start_; }

  std::string Take(std::size_t count) {
    std::string bytes = buffer_.substr(start_, count);
    Consume(count);
    return bytes;
  }

  void Consume(std::size_t count) {
    start_ += count;
    if (start_ == buffer_.size()) {
      buffer_.clear();
      start_ = 0;
    } else if (start_ > kMaxLine) {
      buffer_.erase(0, start_);
      start_ = 0;
    }
    scan_from_ = start_;
  }

  // Reads what has arrived; false when the peer closed. ReadTimeout when nothing came before
  // `deadline`.
  bool Fill(Clock::time_point deadline) {
    auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
    if (left.count() <= 0 || !socket_.WaitReadable(left)) throw ReadTimeout{};
    std::size_t n = socket_.Receive(chunk_.data(), chunk_.size());
    if (n == 0) return false;
    buffer_.append(chunk_.data(), n);
    return true;
  }

  Socket& socket_;
  std::string& chunk_;
  std::string buffer_;
  std::size_t start_ = 0;
  std::size_t scan_from_ = 0;
};

THTTPServer::THTTPServer(std::uint16_t default_port, HttpServerLimits limits)
    : Limits(limits), default_port_(default_port) {}

THTTPServer::~THTTPServer() {
  try {
    SetActive(false);
  } catch (...) {
    // Threads that outlast the wait are waited for below.
  }
  {
    std::unique_lock lock(threads_mutex_);
    threads_changed_.wait(lock, [this] { return running_.empty(); });
  }
  ReapFinished();
}

void THTTPServer::SetActive(bool active) {
  std::lock_guard guard(activation_mutex_);
  if (active == active_.load()) return;
  if (active) {
    Activate();
  } else {
    Deactivate();
  }
}

std::uint16_t THTTPServer::ListeningPort(std::size_t index) const {
  std::lock_guard guard(ports_mutex_);
  return index < ports_.size() ? ports_[index] : 0;
}

std::size_t THTTPServer::ConnectionCount() const {
  std::lock_guard lock(threads_mutex_);
  return busy_;
}

void THTTPServer::Activate() {
  if (Bindings.empty()) Bindings.push_back({"", default_port_});
  std::list<Listener> opened;
  for (const TSocketBinding& binding : Bindings) {
    Listener& listener = opened.emplace_back();
    try {
      listener.socket = Socket::Listen(binding.IP, binding.Port, ListenQueue);
    } catch (const SocketError& e) {
      if (e.IsAddressInUse()) {
        throw HttpServerError("Could not bind socket. Address and port are already in use.");
      }
      throw;
    }
    listener.port = listener.socket.LocalPort();
  }

  stopping_ = false;
  listeners_ = std::move(opened);
  {
    std::lock_guard guard(ports_mutex_);
    for (const Listener& listener : listeners_) ports_.push_back(listener.port);
  }
  try {
    for (Listener& listener : listeners_) {
      listener.thread = std::thread([this, &listener] { ListenLoop(listener); });
    }
  } catch (...) {
    Deactivate();
    throw;
  }
  active_ = true;
}

void THTTPServer::Deactivate() {
  stopping_ = true;
  for (Listener& listener : listeners_) listener.socket.Interrupt();
  for (Listener& listener : listeners_) {
    if (listener.thread.joinable()) listener.thread.join();
  }
  listeners_.clear();
  {
    std::lock_guard guard(ports_mutex_);
    ports_.clear();
  }
  active_ = false;

  bool all_ended;
  {
    std::unique_lock lock(threads_mutex_);
    for (Connection& connection : running_) {
      connection.peer.terminated_ = true;
      {
        std::lock_guard socket_guard(connection.socket_mutex);
        if (!connection.socket_closed) connection.socket.Interrupt();
      }
      connection.wake.notify_one();
    }
    auto wait = Millis(std::max(TerminateWaitTime, 0));
    auto deadline = Clock::now() + wait;
    // Woken by each leaving thread; the poll interval only bounds a missed wake-up.
    while (!running_.empty() && Clock::now() < deadline) {
      threads_changed_.wait_until(lock, std::min(deadline, Clock::now() + kPollInterval));
    }
    all_ended = running_.empty();
  }
  ReapFinished();
  if (!all_ended) throw HttpServerError("Terminate Thread Timeout");
}

void THTTPServer::ListenLoop(Listener& listener) {
  while (!stopping_) {
    Socket client;
    try {
      client = listener.socket.Accept();
    } catch (const SocketError& e) {
      if (stopping_ || e.IsClosed()) return;
      // Out of descriptors or memory for a moment: let running connections end first.
      std::this_thread::sleep_for(Millis(50));
      continue;
    } catch (...) {
      return;
    }
    ReapFinished();
    try {
      StartConnection(std::move(client));
    } catch (...) {
      // A connection that cannot get a thread is dropped; the listener goes on.
    }
  }
}

void THTTPServer::StartConnection(Socket socket) {
  std::lock_guard lock(threads_mutex_);
  if (stopping_ || busy_ >= Limits.max_connections) return;  // closes the socket
  Connection* connection;
  if (!idle_.empty()) {
    connection = idle_.back();
    idle_.pop_back();
  } else {
    connection = &running_.emplace_back();
    connection->self = std::prev(running_.end());
  }
  {
    std::lock_guard socket_guard(connection->socket_mutex);
    connection->socket = std::move(socket);
    connection->socket_closed = false;
  }
  connection->has_work = true;
  ++busy_;
  if (connection->thread.joinable()) {
    connection->wake.notify_one();
    return;
  }
  try {
    connection->thread = std::thread([this, connection] { Work(*connection); });
  } catch (...) {
    --busy_;
    running_.erase(connection->self);
    throw;
  }
}

void THTTPServer::Work(Connection& connection) {
  std::unique_lock lock(threads_mutex_);
  for (;;) {
    lock.unlock();
    Serve(connection);
    lock.lock();
    connection.has_work = false;
    --busy_;
    threads_changed_.notify_all();
    if (stopping_ || connection.peer.Terminated()) break;
    // Stay a while for the next connection: starting a thread costs more than waking one.
    idle_.push_back(&connection);
    connection.wake.wait_for(lock, kIdleThreadTime,
                             [&] { return connection.has_work || stopping_.load(); });
    if (!connection.has_work) {
      idle_.erase(std::find(idle_.begin(), idle_.end(), &connection));
      break;
    }
  }
  finished_.splice(finished_.end(), running_, connection.self);
  threads_changed_.notify_all();
}

void THTTPServer::ReapFinished() {
  std::list<Connection> done;
  {
    std::lock_guard lock(threads_mutex_);
    done.splice(done.end(), finished_);
  }
  for (Connection& connection : done) {
    if (connection.thread.joinable()) connection.thread.join();
  }
}

void THTTPServer::CloseSocket(Connection& connection) {
  std::lock_guard guard(connection.socket_mutex);
  connection.socket.Close();
  connection.socket_closed = true;
}

void THTTPServer::Report(Connection& connection, const std::string& message) {
  if (!OnException) return;
  try {
    OnException(connection.peer, message);
  } catch (...) {
    // A failing observer must not take the connection thread down.
  }
}

void THTTPServer::Serve(Connection& connection) {
  try {
    Socket& socket = connection.socket;
    connection.peer.peer_ip_ = socket.PeerAddress();
    connection.peer.peer_port_ = socket.PeerPort();
    socket.SetBufferSizes(kSocketBuffer);
    socket.SetSendTimeout(Limits.send_timeout);
    RequestReader reader(socket, connection.chunk);
    Outcome outcome = Outcome::kAnsweredKeepOpen;
    while (outcome == Outcome::kAnsweredKeepOpen && !connection.peer.Terminated()) {
      outcome = ServeRequest(connection, reader);
    }
    if (outcome != Outcome::kUnanswered) {
      socket.ShutdownSend();
      reader.Drain(Clock::now() + Limits.linger_time);
    }
  } catch (const PeerClosed&) {
  } catch (const ReadTimeout&) {
    Report(connection, "Read timed out.");
  } catch (const HeadTimedOut&) {
    Report(connection, "Read timed out.");
    // A peer that began a request is told why it gets no answer, as nginx does.
    try {
      SocketSink sink(connection.socket);
      THTTPResponseInfo answer(&sink);
      answer.SetResponseNo(408);
      answer.ContentLength = 0;
      answer.WriteHeader();
      sink.Flush();
      connection.socket.ShutdownSend();
    } catch (...) {
      // The peer is gone; closing is all that is left.
    }
  } catch (const SocketError& e) {
    if (!e.IsAbortedOrReset() && !e.IsClosed()) Report(connection, e.what());
  } catch (const std::exception& e) {
    Report(connection, e.what());
  } catch (...) {
    // A handler's foreign object ends the connection without an answer.
  }
  CloseSocket(connection);
}

THTTPServer::Outcome THTTPServer::ServeRequest(Connection& connection, RequestReader& reader) {
  const auto head_deadline = Clock::now() + Limits.head_timeout;
  bool head_started = false;
  // A connection that stays silent is closed quietly; one whose request stalls gets 408.
  auto read_head_line = [&] {
    try {
      std::string read = reader.ReadLine(head_deadline);
      head_started = true;
      return read;
    } catch (const ReadTimeout&) {
      if (head_started || reader.HasPending()) throw HeadTimedOut{};
      throw;
    }
  };
  std::string line = read_head_line();

  std::size_t last_space = line.rfind(' ');
  if (last_space == std::string::npos) throw HttpServerError("Error in parsing command.");
  std::string version = line.substr(last_space + 1);
  std::string_view before(line.data(), last_space);
  std::size_t first_space = before.find(' ');
  std::string method = AsciiUpper(before.substr(0, first_space));
  std::string uri =
      first_space == std::string_view::npos ? "" : std::string(before.substr(first_space + 1));
  if (!IsServedMethod(method)) return Outcome::kUnanswered;

  THTTPRequestInfo request;
  request.RawHTTPCommand = line;
  request.RemoteIP = connection.peer.PeerIP();
  request.Command = method;

  std::size_t head_bytes = line.size();
  for (;;) {
    std::string header = read_head_line();
    if (header.empty()) break;
    head_bytes += header.size() + 2;
    if (head_bytes > Limits.max_head_bytes) throw HttpServerError("Request head too large.");
    if (header.starts_with("..")) header.erase(0, 1);
    request.RawHeaders.Add(std::move(header));
  }
  const THeaderList& headers = request.RawHeaders;
  request.ContentType = headers.Values("Content-Type");
  request.ContentLength =
      headers.HasName("Content-Length") ? ParseContentLength(headers.Values("Content-Length")) : -1;
  request.Connection = headers.Values("Connection");
  request.Accept = headers.Values("Accept");
  request.UserAgent = headers.Values("User-Agent");
  request.Referer = headers.Values("Referer");
  request.Host = headers.Values("Host");

  SocketSink sink(connection.socket);
  auto refuse_large_body = [&] {
    THTTPResponseInfo refusal(&sink);
    refusal.SetResponseNo(413);
    refusal.ContentLength = 0;
    refusal.WriteHeader();
    sink.Flush();
    return Outcome::kAnswered;
  };

  std::string body;
  const auto cap = static_cast<std::int64_t>(Limits.max_body_bytes);
  if (request.ContentLength > cap) return refuse_large_body();
  if (request.ContentLength > 0) {
    body = reader.ReadExact(static_cast<std::size_t>(request.ContentLength), Limits.body_timeout);
  } else if (method == "POST" && !request.HasContentLength()) {
    try {
      body = reader.ReadToClose(Limits.max_body_bytes, Limits.body_timeout);
    } catch (const BodyTooLarge&) {
      return refuse_large_body();
    }
  }

  request.FormParams = std::move(body);
  request.UnparsedParams = request.FormParams;
  if (std::size_t question = uri.find('?'); question != std::string::npos) {
    request.QueryParams = uri.substr(question + 1);
    uri.resize(question);
  }
  if (!request.QueryParams.empty()) {
    if (request.UnparsedParams.empty()) {
      request.UnparsedParams = request.QueryParams;
    } else {
      request.UnparsedParams += "\r\n" + request.QueryParams;
    }
  }
  if (ParseParams) {
    request.Params = AsciiLower(request.ContentType) == "application/x-www-form-urlencoded"
                         ? DecodeParams(request.UnparsedParams)
                         : DecodeParams(request.QueryParams);
  }

  for (std::size_t i = 0; i < headers.Count(); ++i) {
    if (headers[i].find(':') == std::string::npos ||
        !EqualsIgnoreCase(headers.Names(i), "Cookie")) {
      continue;
    }
    std::string_view rest =
        TrimBlanks(std::string_view(headers[i]).substr(headers[i].find(':') + 1));
    while (!rest.empty()) {
      std::size_t semicolon = rest.find(';');
      std::string_view cookie = TrimBlanks(rest.substr(0, semicolon));
      if (!cookie.empty()) request.Cookies.emplace_back(cookie);
      rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    }
  }

  request.Version = version;
  request.Document = DecodeDocument(uri);
  if (!headers.HasName("Host")) {
    if (std::string uri_host = SplitUri(uri).host; !uri_host.empty()) request.Host = uri_host;
  }

  if (headers.HasName("Authorization")) {
    request.AuthExists = true;
    std::string value = headers.Values("Authorization");
    std::size_t blank = value.find(' ');
    std::string_view scheme = std::string_view(value).substr(0, blank);
    if (!EqualsIgnoreCase(scheme, "Basic")) {
      throw HttpServerError("Unsupported authorization scheme.");
    }
    std::string_view encoded =
        blank == std::string::npos ? std::string_view() : std::string_view(value).substr(blank + 1);
    std::string credentials = DecodeText(TrimBlanks(encoded));
    std::size_t colon = credentials.find(':');
    request.AuthUsername = credentials.substr(0, colon);
    if (colon != std::string::npos) request.AuthPassword = credentials.substr(colon + 1);
  }

  THTTPResponseInfo response(&sink);
  response.CloseConnection = !KeepAlive;
  if (std::string_view software = TrimBlanks(ServerSoftware); !software.empty()) {
    response.ServerSoftware = std::string(software);
  }

  try {
    if (OnCommandGet) OnCommandGet(connection.peer, request, response);
  } catch (const std::exception& e) {
    response.SetResponseNo(500);
    response.ContentText = e.what();
    // A length the handler set for its own body would misframe the message.
    if (!response.HeaderHasBeenWritten) response.ContentLength = -1;
  }
  if (!response.HeaderHasBeenWritten) response.WriteHeader();
  if (!response.ContentText.empty() || response.ContentStream) response.WriteContent();
  sink.Flush();
  return response.CloseConnection ? Outcome::kAnswered : Outcome::kAnsweredKeepOpen;
}

}  // namespace pmr::net
