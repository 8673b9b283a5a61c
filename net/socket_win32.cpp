// Winsock behind the socket interface. ws2_32 is linked at build time (net/CMakeLists.txt): it
// is present on every Windows since 95 and loading it at run time would buy nothing.
//
// Winsock cannot wake a thread blocked in accept or recv on the same socket from another
// thread (shutdown does not reach a listener, and closesocket would free a handle that the
// blocked thread still uses). So blocking waits poll in short slices and look at a
// process-wide set of interrupted handles between them.

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "base/text.h"
#include "net/socket.h"

namespace pmr::net {
namespace {

constexpr Socket::Handle kInvalid = ~Socket::Handle{0};
// How long a blocked wait may take to notice Interrupt().
constexpr Socket::Millis kSlice{50};

void EnsureWinsock() {
  // Started once and never cleaned up: threads may still use sockets while the process ends.
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) {
    throw SocketError(started, SocketError::Kind::kOther,
                      "WSAStartup failed (" + std::to_string(started) + ")");
  }
}

std::string ErrorText(int code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer) {
    std::u16string wide(buffer, buffer + n);
    while (!wide.empty() && (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u' ' ||
                             wide.back() == u'.')) {
      wide.pop_back();
    }
    text = pmr::Utf16ToUtf8(wide);
  }
  if (buffer) LocalFree(buffer);
  if (text.empty()) text = "Socket Error # " + std::to_string(code);
  return text + " (" + std::to_string(code) + ")";
}

SocketError::Kind KindOf(int code) {
  switch (code) {
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAESHUTDOWN:
      return SocketError::Kind::kAbortedOrReset;
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT:
      return SocketError::Kind::kTimeout;
    case WSAEADDRINUSE:
    case WSAEACCES:  // what bind reports when another socket holds the port exclusively
      return SocketError::Kind::kAddressInUse;
    case WSAENOTSOCK:
    case WSAEINVAL:
    case WSAEINTR:
    case WSAEBADF:
      return SocketError::Kind::kClosed;
    default:
      return SocketError::Kind::kOther;
  }
}

[[noreturn]] void Fail(int code, const char* what) {
  throw SocketError(code, KindOf(code), std::string(what) + ": " + ErrorText(code));
}

[[noreturn]] void FailLast(const char* what) { Fail(WSAGetLastError(), what); }

std::mutex& InterruptedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::set<Socket::Handle>& Interrupted() {
  static std::set<Socket::Handle> handles;
  return handles;
}

bool IsInterrupted(Socket::Handle handle) {
  std::lock_guard lock(InterruptedMutex());
  return Interrupted().count(handle) != 0;
}

[[noreturn]] void FailInterrupted(const char* what) {
  throw SocketError(WSAEINTR, SocketError::Kind::kClosed,
                    std::string(what) + ": the socket was closed locally");
}

SOCKET Native(Socket::Handle handle) { return static_cast<SOCKET>(handle); }

sockaddr_in MakeAddress(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (address.empty()) {
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    throw SocketError(WSAEINVAL, SocketError::Kind::kOther, "Invalid IPv4 address: " + address);
  }
  return sa;
}

std::string DottedText(const sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return text;
}

// One poll of `handle`; `write` waits for writability (or an error, for a pending connect).
// One entry per socket: Wine's server asserts when a socket sits in two select sets.
bool PollOnce(Socket::Handle handle, bool write, Socket::Millis timeout) {
  WSAPOLLFD entry{};
  entry.fd = Native(handle);
  entry.events = write ? POLLWRNORM : POLLRDNORM;
  const int n = ::WSAPoll(&entry, 1, static_cast<INT>(timeout.count()));
  if (n == SOCKET_ERROR) FailLast("poll");
  if (n > 0 && (entry.revents & POLLNVAL)) Fail(WSAENOTSOCK, "poll");
  return n > 0;
}

// Waits until `handle` is ready, false after `timeout` (negative: no limit). Raises a
// closed-kind error once the handle was interrupted.
bool WaitFor(Socket::Handle handle, bool write, Socket::Millis timeout, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (IsInterrupted(handle)) FailInterrupted(what);
    Socket::Millis slice = kSlice;
    if (timeout.count() >= 0) {
      const auto left =
          std::chrono::duration_cast<Socket::Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return PollOnce(handle, write, Socket::Millis(0));
      slice = std::min(slice, left);
    }
    if (PollOnce(handle, write, slice)) return true;
  }
}

// The receive or send time-out set on the socket; negative when none.
Socket::Millis TimeoutOf(Socket::Handle handle, int option) {
  DWORD ms = 0;
  int length = sizeof ms;
  if (::getsockopt(Native(handle), SOL_SOCKET, option, reinterpret_cast<char*>(&ms), &length) !=
          0 ||
      ms == 0) {
    return Socket::Millis(-1);
  }
  return Socket::Millis(ms);
}

void SetNoDelay(SOCKET s) {
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void SetBlocking(SOCKET s, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  if (::ioctlsocket(s, FIONBIO, &mode) != 0) FailLast("ioctlsocket");
}

int ClampedLength(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, kInvalid)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kInvalid);
  }
  return *this;
}

bool Socket::valid() const { return handle_ != kInvalid; }

Socket Socket::CreateTcp() {
  EnsureWinsock();
  // WSA_FLAG_NO_HANDLE_INHERIT: child processes never hold our listeners.
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) FailLast("socket");
  return Socket(static_cast<Handle>(s));
}

Socket Socket::Listen(const std::string& address, uint16_t port, int backlog) {
  Socket s = CreateTcp();
  // Never SO_REUSEADDR here: on Windows it lets another program bind the same port and take
  // over its connections. Exclusive use makes such a bind fail instead.
  BOOL one = TRUE;
  ::setsockopt(Native(s.handle_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(Native(s.handle_), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    FailLast("bind");
  }
  if (::listen(Native(s.handle_), backlog) != 0) FailLast("listen");
  // Several threads may wait on one listener. One that loses a connection to another must go
  // back to waiting, where an interrupt reaches it, instead of blocking inside accept.
  SetBlocking(Native(s.handle_), false);
  return s;
}

Socket Socket::Connect(const std::string& host, uint16_t port, Millis timeout,
                       const std::string& source_address) {
  std::vector<std::string> addresses = ResolveIPv4(host);
  Socket s = CreateTcp();
  const SOCKET native = Native(s.handle_);
  if (!source_address.empty()) {
    sockaddr_in local = MakeAddress(source_address, 0);
    if (::bind(native, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      FailLast("bind");
    }
  }
  sockaddr_in sa = MakeAddress(addresses.front(), port);
  SetBlocking(native, false);
  if (::connect(native, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS) Fail(code, "connect");
    if (!WaitFor(s.handle_, true, timeout.count() > 0 ? timeout : Millis(-1), "connect")) {
      Fail(WSAETIMEDOUT, "connect");
    }
    int error = 0;
    int length = sizeof error;
    ::getsockopt(native, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error != 0) Fail(error, "connect");
  }
  SetBlocking(native, true);
  SetNoDelay(native);
  return s;
}

Socket Socket::Accept(Endpoint* peer) {
  // The receive time-out bounds the wait, as a blocking accept does on Linux.
  Socket s = AcceptFor(TimeoutOf(handle_, SO_RCVTIMEO), peer);
  if (!s.valid()) Fail(WSAETIMEDOUT, "accept");
  return s;
}

Socket Socket::AcceptFor(Millis timeout, Endpoint* peer) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Millis left = timeout;
    if (timeout.count() > 0) {
      left = std::max(Millis(0), std::chrono::duration_cast<Millis>(
                                     deadline - std::chrono::steady_clock::now()));
    }
    if (!WaitFor(handle_, false, left, "accept")) return Socket();
    sockaddr_in sa{};
    int length = sizeof sa;
    SOCKET s = ::accept(Native(handle_), reinterpret_cast<sockaddr*>(&sa), &length);
    if (s != INVALID_SOCKET) {
      SetBlocking(s, true);  // it inherits the listener's mode
      SetNoDelay(s);
      if (peer) *peer = {DottedText(sa), ntohs(sa.sin_port)};
      return Socket(static_cast<Handle>(s));
    }
    const int code = WSAGetLastError();
    // A peer that gave up before we accepted is not the listener's failure; a connection
    // another thread took leaves this one waiting on.
    if (code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAEWOULDBLOCK) {
      if (timeout.count() == 0) return Socket();
      continue;
    }
    Fail(code, "accept");
  }
}

void Socket::DeferAcceptUntilData() {}

void Socket::SendAll(std::string_view data) {
  while (!data.empty()) {
    if (IsInterrupted(handle_)) FailInterrupted("send");
    const int n = ::send(Native(handle_), data.data(), ClampedLength(data.size()), 0);
    if (n == SOCKET_ERROR) FailLast("send");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::size_t Socket::Receive(char* buffer, std::size_t size) {
  // Waiting first keeps the thread interruptible; the socket's own time-out is honoured here.
  if (!WaitFor(handle_, false, TimeoutOf(handle_, SO_RCVTIMEO), "recv")) {
    Fail(WSAETIMEDOUT, "recv");
  }
  const int n = ::recv(Native(handle_), buffer, ClampedLength(size), 0);
  if (n == SOCKET_ERROR) FailLast("recv");
  return static_cast<std::size_t>(n);
}

std::optional<std::size_t> Socket::TryReceive(char* buffer, std::size_t size) {
  if (!WaitFor(handle_, false, Millis(0), "recv")) return std::nullopt;
  const int n = ::recv(Native(handle_), buffer, ClampedLength(size), 0);
  if (n == SOCKET_ERROR) FailLast("recv");
  return static_cast<std::size_t>(n);
}

bool Socket::WaitReadable(Millis timeout) { return WaitFor(handle_, false, timeout, "poll"); }

void Socket::SetReceiveTimeout(Millis timeout) {
  DWORD ms = timeout.count() > 0 ? static_cast<DWORD>(timeout.count()) : 0;
  if (::setsockopt(Native(handle_), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                   sizeof ms) != 0) {
    FailLast("setsockopt(SO_RCVTIMEO)");
  }
}

void Socket::SetSendTimeout(Millis timeout) {
  DWORD ms = timeout.count() > 0 ? static_cast<DWORD>(timeout.count()) : 0;
  if (::setsockopt(Native(handle_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms),
                   sizeof ms) != 0) {
    FailLast("setsockopt(SO_SNDTIMEO)");
  }
}

void Socket::SetBufferSizes(int bytes) {
  ::setsockopt(Native(handle_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
  ::setsockopt(Native(handle_), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
}

void Socket::ShutdownSend() {
  if (valid()) ::shutdown(Native(handle_), SD_SEND);
}

void Socket::Interrupt() {
  if (!valid()) return;
  {
    std::lock_guard lock(InterruptedMutex());
    Interrupted().insert(handle_);
  }
  // Tells a connected peer at once; the waits above notice the mark within one slice.
  ::shutdown(Native(handle_), SD_BOTH);
}

void Socket::Close() {
  if (!valid()) return;
  {
    // Forget the mark before the handle can be reused by a new socket.
    std::lock_guard lock(InterruptedMutex());
    Interrupted().erase(handle_);
  }
  ::closesocket(Native(handle_));
  handle_ = kInvalid;
}

Socket::Endpoint Socket::Peer() const {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getpeername(Native(handle_), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    FailLast("getpeername");
  }
  return {DottedText(sa), ntohs(sa.sin_port)};
}

std::string Socket::LocalAddress() const {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(Native(handle_), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    FailLast("getsockname");
  }
  return DottedText(sa);
}

uint16_t Socket::LocalPort() const {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(Native(handle_), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    FailLast("getsockname");
  }
  return ntohs(sa.sin_port);
}

std::string LocalHostName() {
  EnsureWinsock();
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) FailLast("gethostname");
  return name;
}

std::vector<std::string> ResolveIPv4(const std::string& host) {
  EnsureWinsock();
  in_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) return {host};

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    throw SocketError(rc, SocketError::Kind::kOther,
                      "Cannot resolve host " + host + ": " + ErrorText(rc));
  }
  std::vector<std::string> result;
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    std::string text = DottedText(*reinterpret_cast<const sockaddr_in*>(ai->ai_addr));
    if (std::find(result.begin(), result.end(), text) == result.end()) result.push_back(text);
  }
  ::freeaddrinfo(found);
  if (result.empty()) {
    throw SocketError(WSAHOST_NOT_FOUND, SocketError::Kind::kOther, "Cannot resolve host " + host);
  }
  return result;
}

}  // namespace pmr::net
