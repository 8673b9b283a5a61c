#pragma once

// THTTPServer: an HTTP/1.1 server. Its threads wait in accept on the listening sockets
// themselves and serve what they accept from start to end, so a connection never changes
// thread; when the last waiting thread of a binding takes a connection it starts another, up to
// the connection cap, and a thread that finds enough others waiting ends. Each request goes to
// OnCommandGet, so handlers may block.
// Settings (public members) are changed only while the server is inactive and no connection
// is left; Active(), SetActive() and the read-outs may be called from any thread but a
// handler's (deactivating from a handler would wait for that handler). Every thread is
// tracked and joined: none outlives the server object (the destructor waits for handlers still
// running). Exceptions never leave a server thread; activation failures raise pmr::Error-derived
// errors.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "net/http_message.h"
#include "net/socket.h"

namespace pmr::net {

class BufferedReader;

// Guards against peers that are slow, silent or too big.
struct HttpServerLimits {
  using Millis = std::chrono::milliseconds;

  // For the whole request line and header block together, however the bytes trickle in.
  Millis head_timeout{30000};
  // Longest pause between two reads of the body.
  Millis body_timeout{30000};
  // Longest a single send may block on a peer that does not read.
  Millis send_timeout{30000};
  // After answering with request bytes unread, how long the server drains what the peer
  // still sends before it closes, so that they do not reset the connection under the answer.
  Millis linger_time{1000};
  // A larger body is answered with 413 and the connection closed.
  std::size_t max_body_bytes = 1 << 20;
  // A larger request head ends the connection without an answer.
  std::size_t max_head_bytes = 1 << 20;
  // Connections served at once; more are accepted and closed at once.
  std::size_t max_connections = 256;
};

struct TSocketBinding {
  std::string IP;  // empty: every local address
  std::uint16_t Port = 0;
};

// The connection a request came on, as a handler sees it.
class TPeerThread {
 public:
  TPeerThread() = default;
  TPeerThread(const TPeerThread&) = delete;
  TPeerThread& operator=(const TPeerThread&) = delete;

  const std::string& PeerIP() const { return peer_ip_; }
  std::uint16_t PeerPort() const { return peer_port_; }
  // True once deactivation asked the connection to end.
  bool Terminated() const { return terminated_.load(); }

 private:
  friend class THTTPServer;
  std::string peer_ip_;
  std::uint16_t peer_port_ = 0;
  std::atomic<bool> terminated_{false};
};

using THTTPGetEvent = std::function<void(TPeerThread& AThread, THTTPRequestInfo& ARequestInfo,
                                         THTTPResponseInfo& AResponseInfo)>;
// Told why a connection ended without its normal course (line too long, bad scheme, ...).
using THTTPExceptionEvent = std::function<void(TPeerThread& AThread, const std::string& message)>;

class THTTPServer {
 public:
  explicit THTTPServer(std::uint16_t default_port = 80, HttpServerLimits limits = {});
  ~THTTPServer();
  THTTPServer(const THTTPServer&) = delete;
  THTTPServer& operator=(const THTTPServer&) = delete;

  std::uint16_t DefaultPort() const { return default_port_; }
  void SetDefaultPort(std::uint16_t port) { default_port_ = port; }

  bool Active() const { return active_.load(); }
  // true: binds and listens on every binding (one on DefaultPort when there is none);
  // raises "Could not bind socket. Address and port are already in use." or the socket
  // error. false: closes the listeners, asks every connection to end and waits up to
  // TerminateWaitTime ms, then raises "Terminate Thread Timeout" if some remain.
  void SetActive(bool active);

  // The port the listener of binding `index` is bound to (the chosen one for port 0);
  // 0 while inactive.
  std::uint16_t ListeningPort(std::size_t index = 0) const;
  // Connections being served.
  std::size_t ConnectionCount() const;

  std::vector<TSocketBinding> Bindings;
  THTTPGetEvent OnCommandGet;
  THTTPExceptionEvent OnException;
  int TerminateWaitTime = 5000;
  // Connections the kernel queues before a thread accepts them. A burst beyond it has its
  // handshakes dropped, and the peers try again only 200 ms to 1 s later.
  int ListenQueue = 511;
  bool KeepAlive = false;
  bool ParseParams = true;
  std::string ServerSoftware;
  HttpServerLimits Limits;

 private:
  // A listening socket and the threads that wait on it.
  struct Listener {
    Socket socket;
    std::uint16_t port = 0;
    // Guarded by the server's threads_mutex_:
    bool open = true;            // false once deactivation began: no thread waits again
    std::size_t accepting = 0;   // threads waiting in accept, or started to
  };
  // A server thread: waits in accept, serves the connection it got, and waits again.
  struct Worker {
    std::shared_ptr<Listener> listener;  // kept while the thread lives
    Socket socket;
    Mutex socket_mutex;  // orders Close against Interrupt from a deactivating thread
    bool socket_closed GUARDED_BY(socket_mutex) = true;
    TPeerThread peer;
    std::thread thread;
    std::list<Worker>::iterator self;
    std::string buffer;  // received bytes not yet read, its memory kept between connections
  };

  void Activate() REQUIRES(activation_mutex_);
  void Deactivate() REQUIRES(activation_mutex_);
  // Starts a thread that waits on `listener`; counted as accepting from now on.
  void StartWorker(const std::shared_ptr<Listener>& listener) REQUIRES(threads_mutex_);
  void Work(Worker& worker);
  void Serve(Worker& worker);
  // kAnsweredUnread: answered before the request's body was read.
  enum class Outcome { kUnanswered, kAnswered, kAnsweredUnread, kAnsweredKeepOpen };
  // Serves one request. Quiet ends of the connection and parse failures raise.
  Outcome ServeRequest(Worker& worker, BufferedReader& reader);
  void Report(Worker& worker, const std::string& message);
  void CloseSocket(Worker& worker);
  // Joins the threads that have ended.
  void ReapFinished();

  std::uint16_t default_port_;
  std::atomic<bool> active_{false};
  Mutex activation_mutex_;  // held while activating or deactivating
  mutable Mutex ports_mutex_;
  std::vector<std::uint16_t> ports_ GUARDED_BY(ports_mutex_);
  std::vector<std::shared_ptr<Listener>> listeners_ GUARDED_BY(activation_mutex_);

  mutable Mutex threads_mutex_;
  CondVar threads_changed_;
  bool stopping_ GUARDED_BY(threads_mutex_) = false;
  std::list<Worker> running_ GUARDED_BY(threads_mutex_);   // every server thread
  std::list<Worker> finished_ GUARDED_BY(threads_mutex_);  // ended, joined by ReapFinished
  std::size_t busy_ GUARDED_BY(threads_mutex_) = 0;        // serving a connection
  std::size_t thread_cap_ GUARDED_BY(threads_mutex_) = 0;  // connection cap + one per listener
};

}  // namespace pmr::net
