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
// A thread that waited this long in accept for nothing ends, unless it is the last one.
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
  std::vector<std::shared_ptr<Listener>> opened;
  for (const TSocketBinding& binding : Bindings) {
    auto listener = std::make_shared<Listener>();
    try {
      listener->socket = Socket::Listen(binding.IP, binding.Port, ListenQueue);
    } catch (const SocketError& e) {
      if (e.IsAddressInUse()) {
        throw HttpServerError("Could not bind socket. Address and port are already in use.");
      }
      throw;
    }
    listener->port = listener->socket.LocalPort();
    // Where accepted sockets inherit them, set once here instead of on every connection.
    listener->socket.SetBufferSizes(kSocketBuffer);
    listener->socket.SetSendTimeout(Limits.send_timeout);
    // Bounds each wait in accept. Accepted sockets may inherit it; the server never receives
    // without waiting for the bytes first, so it changes nothing there.
    listener->socket.SetReceiveTimeout(kIdleThreadTime);
    // Peers send their request as soon as they are connected; a thread woken only then reads
    // it at once instead of sleeping a second time.
    listener->socket.DeferAcceptUntilData();
    opened.push_back(std::move(listener));
  }

  listeners_ = std::move(opened);
  {
    MutexLock guard(ports_mutex_);
    for (const auto& listener : listeners_) ports_.push_back(listener->port);
  }
  bool started = true;
  {
    MutexLock lock(threads_mutex_);
    stopping_ = false;
    thread_cap_ = Limits.max_connections + listeners_.size();
    try {
      for (const auto& listener : listeners_) StartWorker(listener);
    } catch (...) {
      started = false;
    }
  }
  if (!started) {
    Deactivate();
    throw HttpServerError("Could not start a server thread.");
  }
  active_ = true;
}

void THTTPServer::Deactivate() {
  const auto deadline = Clock::now() + Millis(std::max(TerminateWaitTime, 0));
  {
    MutexLock lock(threads_mutex_);
    stopping_ = true;
    for (const auto& listener : listeners_) listener->open = false;
  }
  for (const auto& listener : listeners_) listener->socket.Interrupt();

  bool all_ended;
  {
    MutexLock lock(threads_mutex_);
    for (Worker& worker : running_) {
      worker.peer.terminated_ = true;
      MutexLock socket_guard(worker.socket_mutex);
      if (!worker.socket_closed) worker.socket.Interrupt();
    }
    const auto accepting = [this]() REQUIRES(activation_mutex_, threads_mutex_) {
      std::size_t count = 0;
      for (const auto& listener : listeners_) count += listener->accepting;
      return count;
    };
    // Woken by each leaving thread; the poll interval only bounds a missed wake-up.
    const auto wait_a_while = [&]() REQUIRES(threads_mutex_) {
      threads_changed_.WaitUntil(threads_mutex_, std::min(deadline, Clock::now() + kPollInterval));
    };
    // The threads in accept leave at once. Then the ports are free, even while a handler
    // outlasts the wait below.
    while (accepting() > 0 && Clock::now() < deadline) wait_a_while();
    if (accepting() == 0) {
      for (const auto& listener : listeners_) listener->socket.Close();
    }
    while (!running_.empty() && Clock::now() < deadline) wait_a_while();
    all_ended = running_.empty();
  }
  listeners_.clear();
  {
    MutexLock guard(ports_mutex_);
    ports_.clear();
  }
  active_ = false;
  ReapFinished();
  if (!all_ended) throw HttpServerError("Terminate Thread Timeout");
}

void THTTPServer::StartWorker(const std::shared_ptr<Listener>& listener) {
  Worker& worker = running_.emplace_back();
  worker.self = std::prev(running_.end());
  worker.listener = listener;
  ++listener->accepting;
  try {
    worker.thread = std::thread([this, &worker] { Work(worker); });
  } catch (...) {
    --listener->accepting;
    running_.erase(worker.self);
    throw;
  }
}

void THTTPServer::Work(Worker& worker) {
  Listener& listener = *worker.listener;
  MutexLock lock(threads_mutex_);
  // This thread is counted in listener.accepting from its start.
  for (;;) {
    if (stopping_ || !listener.open || worker.peer.Terminated()) break;
    if (!finished_.empty()) {
      lock.Unlock();
      ReapFinished();
      lock.Lock();
      continue;
    }
    lock.Unlock();
    Socket client;
    Socket::Endpoint peer;
    bool idle = false;
    try {
      client = listener.socket.Accept(&peer);
    } catch (const SocketError& e) {
      // Nothing came for kIdleThreadTime, or closed by deactivation, or out of descriptors
      // for a moment.
      idle = e.IsTimeout();
    } catch (...) {
    }
    lock.Lock();
    if (stopping_ || !listener.open) break;  // a connection taken just now is closed unserved
    if (idle) {
      if (listener.accepting > 1) break;  // the last one waiting stays
      continue;
    }
    if (!client.valid()) {
      // Let running connections end first.
      lock.Unlock();
      std::this_thread::sleep_for(Millis(50));
      lock.Lock();
      continue;
    }
    if (busy_ >= Limits.max_connections) {
      lock.Unlock();
      client.Close();  // over the cap: closed at once
      lock.Lock();
      continue;
    }
    --listener.accepting;
    ++busy_;
    if (listener.accepting == 0 && running_.size() < thread_cap_) {
      try {
        StartWorker(worker.listener);
      } catch (...) {
        // No thread to spare: the next connection waits until this one is served.
      }
    }
    {
      MutexLock socket_guard(worker.socket_mutex);
      worker.socket = std::move(client);
      worker.socket_closed = false;
    }
    worker.peer.peer_ip_ = std::move(peer.address);
    worker.peer.peer_port_ = peer.port;
    lock.Unlock();
    Serve(worker);
    lock.Lock();
    --busy_;
    ++listener.accepting;
    threads_changed_.NotifyAll();
  }
  --listener.accepting;
  finished_.splice(finished_.end(), running_, worker.self);
  threads_changed_.NotifyAll();
}

void THTTPServer::ReapFinished() {
  std::list<Worker> done;
  {
    MutexLock lock(threads_mutex_);
    done.splice(done.end(), finished_);
  }
  for (Worker& worker : done) {
    if (worker.thread.joinable()) worker.thread.join();
  }
}

void THTTPServer::CloseSocket(Worker& worker) {
  MutexLock guard(worker.socket_mutex);
  worker.socket.Close();
  worker.socket_closed = true;
}

void THTTPServer::Report(Worker& worker, const std::string& message) {
  if (!OnException) return;
  try {
    OnException(worker.peer, message);
  } catch (...) {
    // A failing observer must not take the connection thread down.
  }
}

void THTTPServer::Serve(Worker& worker) {
  try {
    Socket& socket = worker.socket;
    if (!kAcceptInheritsOptions) {
      socket.SetBufferSizes(kSocketBuffer);
      socket.SetSendTimeout(Limits.send_timeout);
    }
    worker.buffer.clear();
    BufferedReader reader(socket, worker.buffer, kSocketBuffer);
    Outcome outcome = Outcome::kAnsweredKeepOpen;
    while (outcome == Outcome::kAnsweredKeepOpen && !worker.peer.Terminated()) {
      outcome = ServeRequest(worker, reader);
    }
    // Bytes of the peer's that are left unread when the socket closes would reset the
    // connection, and the answer with it: when some are there or on their way, they are
    // drained first. A request read to its end is closed at once, as nginx does.
    const bool unread = outcome == Outcome::kAnsweredUnread ||
                        (outcome == Outcome::kAnswered && !reader.closed() &&
                         (reader.HasBuffered() || socket.WaitReadable(Millis(0))));
    if (unread) {
      socket.ShutdownSend();
      reader.Drain(Clock::now() + Limits.linger_time);
    }
  } catch (const PeerClosed&) {
  } catch (const HeadTimedOut&) {
    Report(worker, "Read timed out.");
    // A peer that began a request is told why it gets no answer, as nginx does.
    try {
      SocketSink sink(worker.socket);
      THTTPResponseInfo answer(&sink);
      answer.SetResponseNo(408);
      answer.ContentLength = 0;
      answer.WriteHeader();
      sink.Flush();
      worker.socket.ShutdownSend();
    } catch (...) {
      // The peer is gone; closing is all that is left.
    }
  } catch (const SocketError& e) {
    if (!e.IsAbortedOrReset() && !e.IsClosed()) Report(worker, e.what());
  } catch (const std::exception& e) {
    Report(worker, e.what());
  } catch (...) {
    // A handler's foreign object ends the connection without an answer.
  }
  CloseSocket(worker);
}

THTTPServer::Outcome THTTPServer::ServeRequest(Worker& worker, BufferedReader& reader) {
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
  request.RemoteIP = worker.peer.PeerIP();

  SocketSink sink(worker.socket);
  auto refuse_large_body = [&] {
    THTTPResponseInfo refusal(&sink);
    refusal.SetResponseNo(413);
    refusal.ContentLength = 0;
    refusal.WriteHeader();
    sink.Flush();
    return Outcome::kAnsweredUnread;
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
    if (OnCommandGet) OnCommandGet(worker.peer, request, response);
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
