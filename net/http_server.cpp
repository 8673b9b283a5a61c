#include "net/http_server.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "net/buffered_reader.h"
#include "net/http_head.h"

namespace pmr::net {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kSocketBuffer = 32768;
constexpr Millis kPollInterval{250};
constexpr Millis kIdleThreadTime{2000};

// A quiet end of a connection: the peer closed.
struct PeerClosed {};
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

}  // namespace

THTTPServer::THTTPServer(std::uint16_t default_port, HttpServerLimits limits)
    : Limits(limits), default_port_(default_port) {}

THTTPServer::~THTTPServer() {
  try {
    SetActive(false);
  } catch (...) {
    // Threads that outlast the wait are waited for below.
  }
  {
    MutexLock lock(threads_mutex_);
    while (!running_.empty()) threads_changed_.Wait(threads_mutex_);
  }
  ReapFinished();
}

void THTTPServer::SetActive(bool active) {
  MutexLock guard(activation_mutex_);
  if (active == active_.load()) return;
  if (active) {
    Activate();
  } else {
    Deactivate();
  }
}

std::uint16_t THTTPServer::ListeningPort(std::size_t index) const {
  MutexLock guard(ports_mutex_);
  return index < ports_.size() ? ports_[index] : 0;
}

std::size_t THTTPServer::ConnectionCount() const {
  MutexLock lock(threads_mutex_);
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
    MutexLock guard(ports_mutex_);
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
    MutexLock guard(ports_mutex_);
    ports_.clear();
  }
  active_ = false;

  bool all_ended;
  {
    MutexLock lock(threads_mutex_);
    for (Connection& connection : running_) {
      connection.peer.terminated_ = true;
      {
        MutexLock socket_guard(connection.socket_mutex);
        if (!connection.socket_closed) connection.socket.Interrupt();
      }
      connection.wake.NotifyOne();
    }
    auto wait = Millis(std::max(TerminateWaitTime, 0));
    auto deadline = Clock::now() + wait;
    // Woken by each leaving thread; the poll interval only bounds a missed wake-up.
    while (!running_.empty() && Clock::now() < deadline) {
      threads_changed_.WaitUntil(threads_mutex_, std::min(deadline, Clock::now() + kPollInterval));
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
  MutexLock lock(threads_mutex_);
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
    MutexLock socket_guard(connection->socket_mutex);
    connection->socket = std::move(socket);
    connection->socket_closed = false;
  }
  connection->has_work = true;
  ++busy_;
  if (connection->thread.joinable()) {
    connection->wake.NotifyOne();
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
  MutexLock lock(threads_mutex_);
  for (;;) {
    lock.Unlock();
    Serve(connection);
    lock.Lock();
    connection.has_work = false;
    --busy_;
    threads_changed_.NotifyAll();
    if (stopping_ || connection.peer.Terminated()) break;
    // Stay a while for the next connection: starting a thread costs more than waking one.
    idle_.push_back(&connection);
    const auto idle_until = Clock::now() + kIdleThreadTime;
    while (!connection.has_work && !stopping_.load() &&
           connection.wake.WaitUntil(threads_mutex_, idle_until)) {
    }
    if (!connection.has_work) {
      idle_.erase(std::find(idle_.begin(), idle_.end(), &connection));
      break;
    }
  }
  finished_.splice(finished_.end(), running_, connection.self);
  threads_changed_.NotifyAll();
}

void THTTPServer::ReapFinished() {
  std::list<Connection> done;
  {
    MutexLock lock(threads_mutex_);
    done.splice(done.end(), finished_);
  }
  for (Connection& connection : done) {
    if (connection.thread.joinable()) connection.thread.join();
  }
}

void THTTPServer::CloseSocket(Connection& connection) {
  MutexLock guard(connection.socket_mutex);
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
    connection.buffer.clear();
    BufferedReader reader(socket, connection.buffer, kSocketBuffer);
    Outcome outcome = Outcome::kAnsweredKeepOpen;
    while (outcome == Outcome::kAnsweredKeepOpen && !connection.peer.Terminated()) {
      outcome = ServeRequest(connection, reader);
    }
    if (outcome != Outcome::kUnanswered) {
      socket.ShutdownSend();
      reader.Drain(Clock::now() + Limits.linger_time);
    }
  } catch (const PeerClosed&) {
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

THTTPServer::Outcome THTTPServer::ServeRequest(Connection& connection, BufferedReader& reader) {
  const auto head_deadline = BufferedReader::Wait::Until(Clock::now() + Limits.head_timeout);
  RequestHeadParser head(Limits.max_head_bytes);
  for (bool started = false;; started = true) {
    std::optional<std::string> line;
    try {
      line = reader.ReadLine(kHeadLineRules, head_deadline);
    } catch (const SocketError& e) {
      // A connection that stays silent is closed quietly; one whose request stalls gets 408.
      if (e.IsTimeout() && (started || reader.HasBuffered())) throw HeadTimedOut{};
      throw;
    }
    if (!line) throw PeerClosed{};
    RequestHeadParser::Status status = head.Feed(std::move(*line));
    if (status == RequestHeadParser::Status::kUnserved) return Outcome::kUnanswered;
    if (status == RequestHeadParser::Status::kFailed) throw HttpServerError(head.error());
    if (status == RequestHeadParser::Status::kComplete) break;
  }
  THTTPRequestInfo& request = head.request();
  request.RemoteIP = connection.peer.PeerIP();

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
  const auto body_wait = BufferedReader::Wait::Idle(Limits.body_timeout);
  if (request.ContentLength > static_cast<std::int64_t>(Limits.max_body_bytes)) {
    return refuse_large_body();
  }
  if (request.ContentLength > 0) {
    if (!reader.ReadExact(static_cast<std::size_t>(request.ContentLength), body, body_wait)) {
      throw PeerClosed{};
    }
  } else if (request.Command == "POST" && !request.HasContentLength()) {
    if (!reader.ReadToClose(body, Limits.max_body_bytes, body_wait)) return refuse_large_body();
  }
  if (!head.Finish(std::move(body), ParseParams)) throw HttpServerError(head.error());

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
