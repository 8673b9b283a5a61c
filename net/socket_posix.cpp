#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "net/socket.h"

namespace pmr::net {
namespace {

std::string ErrnoText(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return std::string(text) + " (" + std::to_string(code) + ")";
}

SocketError::Kind KindOf(int code) {
  switch (code) {
    case ECONNABORTED:
    case ECONNRESET:
    case EPIPE:
      return SocketError::Kind::kAbortedOrReset;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT:
      return SocketError::Kind::kTimeout;
    case EADDRINUSE:
      return SocketError::Kind::kAddressInUse;
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
      return SocketError::Kind::kClosed;
    default:
      return SocketError::Kind::kOther;
  }
}

[[noreturn]] void Fail(int code, const char* what) {
  throw SocketError(code, KindOf(code), std::string(what) + ": " + ErrnoText(code));
}

[[noreturn]] void FailErrno(const char* what) { Fail(errno, what); }

sockaddr_in MakeAddress(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (address.empty()) {
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    throw SocketError(EINVAL, SocketError::Kind::kOther, "Invalid IPv4 address: " + address);
  }
  return sa;
}

std::string DottedText(const sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return text;
}

timeval ToTimeval(std::chrono::milliseconds timeout) {
  timeval tv{};
  if (timeout.count() > 0) {
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  }
  return tv;
}

int PollTimeout(std::chrono::milliseconds timeout) {
  if (timeout.count() < 0) return -1;
  return timeout.count() > INT_MAX ? INT_MAX : static_cast<int>(timeout.count());
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Waits for `events` on `fd`; false on time-out. Retries on signals.
bool PollFor(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd pfd{fd, events, 0};
  for (;;) {
    int n = ::poll(&pfd, 1, PollTimeout(timeout));
    if (n > 0) {
      if (pfd.revents & POLLNVAL) Fail(EBADF, "poll");
      return true;
    }
    if (n == 0) return false;
    if (errno != EINTR) FailErrno("poll");
  }
}

}  // namespace

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

bool Socket::valid() const { return handle_ >= 0; }

Socket Socket::CreateTcp() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) FailErrno("socket");
  return Socket(fd);
}

Socket Socket::Listen(const std::string& address, uint16_t port, int backlog) {
  Socket s = CreateTcp();
  // Lets a restarted bridge bind while the connections it closed sit in TIME_WAIT; on Linux
  // it never lets a second listener share the port.
  int one = 1;
  ::setsockopt(s.handle_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(s.handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    FailErrno("bind");
  }
  if (::listen(s.handle_, backlog) != 0) FailErrno("listen");
  if (kAcceptInheritsOptions) SetNoDelay(s.handle_);  // for every socket it accepts
  return s;
}

Socket Socket::Connect(const std::string& host, uint16_t port, Millis timeout,
                       const std::string& source_address) {
  std::vector<std::string> addresses = ResolveIPv4(host);
  Socket s = CreateTcp();
  if (!source_address.empty()) {
    sockaddr_in local = MakeAddress(source_address, 0);
    if (::bind(s.handle_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      FailErrno("bind");
    }
  }
  sockaddr_in sa = MakeAddress(addresses.front(), port);
  int flags = ::fcntl(s.handle_, F_GETFL, 0);
  ::fcntl(s.handle_, F_SETFL, flags | O_NONBLOCK);
  if (::connect(s.handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) FailErrno("connect");
    if (!PollFor(s.handle_, POLLOUT, timeout.count() > 0 ? timeout : Millis(-1))) {
      Fail(ETIMEDOUT, "connect");
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(s.handle_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) Fail(error, "connect");
  }
  ::fcntl(s.handle_, F_SETFL, flags);
  SetNoDelay(s.handle_);
  return s;
}

Socket Socket::Accept(Endpoint* peer) {
  for (;;) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    int fd = ::accept4(handle_, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (!kAcceptInheritsOptions) SetNoDelay(fd);
      if (peer) *peer = {DottedText(sa), ntohs(sa.sin_port)};
      return Socket(fd);
    }
    // A peer that gave up before we accepted is not the listener's failure.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    FailErrno("accept");
  }
}

void Socket::DeferAcceptUntilData() {
#ifdef TCP_DEFER_ACCEPT
  // The kernel counts in retransmissions of its SYN-ACK: one second rounds to the first.
  int seconds = 1;
  ::setsockopt(handle_, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
#endif
}

Socket Socket::AcceptFor(Millis timeout, Endpoint* peer) {
  if (!PollFor(handle_, POLLIN, timeout)) return Socket();
  return Accept(peer);
}

void Socket::SendAll(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(handle_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailErrno("send");
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::size_t Socket::Receive(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(handle_, buffer, size, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    FailErrno("recv");
  }
}

std::optional<std::size_t> Socket::TryReceive(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(handle_, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    FailErrno("recv");
  }
}

bool Socket::WaitReadable(Millis timeout) { return PollFor(handle_, POLLIN, timeout); }

void Socket::SetReceiveTimeout(Millis timeout) {
  timeval tv = ToTimeval(timeout);
  if (::setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    FailErrno("setsockopt(SO_RCVTIMEO)");
  }
}

void Socket::SetSendTimeout(Millis timeout) {
  timeval tv = ToTimeval(timeout);
  if (::setsockopt(handle_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    FailErrno("setsockopt(SO_SNDTIMEO)");
  }
}

void Socket::SetBufferSizes(int bytes) {
  ::setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  ::setsockopt(handle_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void Socket::ShutdownSend() {
  if (valid()) ::shutdown(handle_, SHUT_WR);
}

void Socket::Interrupt() {
  // shutdown wakes accept and recv in other threads; close alone would not on Linux.
  if (valid()) ::shutdown(handle_, SHUT_RDWR);
}

void Socket::Close() {
  if (valid()) {
    ::close(handle_);
    handle_ = -1;
  }
}

Socket::Endpoint Socket::Peer() const {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getpeername(handle_, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    FailErrno("getpeername");
  }
  return {DottedText(sa), ntohs(sa.sin_port)};
}

std::string Socket::LocalAddress() const {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    FailErrno("getsockname");
  }
  return DottedText(sa);
}

uint16_t Socket::LocalPort() const {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    FailErrno("getsockname");
  }
  return ntohs(sa.sin_port);
}

std::string LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) FailErrno("gethostname");
  return name;
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  in_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) return {host};

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    throw SocketError(rc, SocketError::Kind::kOther,
                      "Cannot resolve host " + host + ": " + ::gai_strerror(rc));
  }
  std::vector<std::string> result;
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    std::string text = DottedText(*reinterpret_cast<const sockaddr_in*>(ai->ai_addr));
    bool seen = false;
    for (const auto& r : result) seen = seen || r == text;
    if (!seen) result.push_back(text);
  }
  ::freeaddrinfo(found);
  if (result.empty()) {
    throw SocketError(EAI_NONAME, SocketError::Kind::kOther, "Cannot resolve host " + host);
  }
  return result;
}

}  // namespace pmr::net
