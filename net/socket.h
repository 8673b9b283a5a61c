#pragma once

// IPv4 stream sockets: one small interface over the platform's socket API.
// A Socket owns its descriptor (move-only). Calls on one socket are not synchronised, except
// Interrupt(), which any thread may call to wake a thread blocked in Accept or Receive.
// Failures raise SocketError with the platform's error number and text.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace pmr::net {

// Sockets from Accept start with the buffer sizes, send time-out and TCP_NODELAY of their
// listener on Linux; elsewhere each accepted socket needs its own.
#ifdef __linux__
inline constexpr bool kAcceptInheritsOptions = true;
#else
inline constexpr bool kAcceptInheritsOptions = false;
#endif

class SocketError : public pmr::Error {
 public:
  enum class Kind { kOther, kAbortedOrReset, kTimeout, kAddressInUse, kClosed };

  SocketError(int code, Kind kind, const std::string& message)
      : pmr::Error(message), code_(code), kind_(kind) {}

  // The platform's error number (errno, or the Winsock number such as 10054).
  int code() const { return code_; }
  Kind kind() const { return kind_; }
  // Connection aborted (10053) or reset (10054), or a write to a closed peer.
  bool IsAbortedOrReset() const { return kind_ == Kind::kAbortedOrReset; }
  bool IsTimeout() const { return kind_ == Kind::kTimeout; }
  bool IsAddressInUse() const { return kind_ == Kind::kAddressInUse; }
  // The socket was closed or interrupted locally (e.g. a listener being deactivated).
  bool IsClosed() const { return kind_ == Kind::kClosed; }

 private:
  int code_;
  Kind kind_;
};

class Socket {
 public:
  using Millis = std::chrono::milliseconds;
  struct Endpoint {
    std::string address;  // dotted IPv4 text
    uint16_t port = 0;
  };
#ifdef _WIN32
  using Handle = std::uintptr_t;
#else
  using Handle = int;
#endif

  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // A new IPv4 stream socket.
  static Socket CreateTcp();

  // Listening socket bound to `address` (empty = every local address) and `port` (0 = any
  // free port), listening with `backlog`. Address reuse follows the platform rule: set on
  // POSIX, where it only lets a restarted server bind past TIME_WAIT; never on Windows.
  static Socket Listen(const std::string& address, uint16_t port, int backlog = 15);

  // Connected socket to host:port (dotted address or a name), failing after `timeout`.
  // A non-empty `source_address` binds the local end to that address first.
  static Socket Connect(const std::string& host, uint16_t port, Millis timeout,
                        const std::string& source_address = {});

  bool valid() const;
  Handle handle() const { return handle_; }

  // Blocks until a peer connects, at most for the receive time-out when one is set (then it
  // raises IsTimeout). Raises SocketError (IsClosed) once Interrupt() was called. `peer`, when
  // given, receives the peer's end.
  Socket Accept(Endpoint* peer = nullptr);
  // Waits at most `timeout` for a connection; an invalid Socket when none came. Several threads
  // may wait on one listener: a connection goes to one of them (on Linux it wakes that one
  // alone), and the others wait on.
  Socket AcceptFor(Millis timeout, Endpoint* peer = nullptr);
  // A listener hands a connection to Accept only once the peer's first bytes have come, or
  // when about a second has passed without any, so that the accepting thread need not wait
  // for them (Linux); elsewhere it does nothing.
  void DeferAcceptUntilData();

  // Sends every byte or raises.
  void SendAll(std::string_view data);
  // Receives up to `size` bytes; 0 means the peer closed the connection gracefully.
  // Raises SocketError (IsTimeout) when the receive time-out passes without data.
  std::size_t Receive(char* buffer, std::size_t size);
  // As Receive when data (or a close) is there already; nullopt, without waiting, when not.
  std::optional<std::size_t> TryReceive(char* buffer, std::size_t size);
  // True when data (or a close) can be read within `timeout`.
  bool WaitReadable(Millis timeout);

  // Zero means no time-out.
  void SetReceiveTimeout(Millis timeout);
  void SetSendTimeout(Millis timeout);
  void SetBufferSizes(int bytes);

  void ShutdownSend();
  // Wakes every thread blocked on this socket; later calls fail with IsClosed.
  void Interrupt();
  void Close();

  // The two ends.
  Endpoint Peer() const;
  std::string PeerAddress() const;
  uint16_t PeerPort() const;
  std::string LocalAddress() const;
  uint16_t LocalPort() const;

 private:
  explicit Socket(Handle handle) : handle_(handle) {}

#ifdef _WIN32
  Handle handle_ = ~Handle{0};
#else
  Handle handle_ = -1;
#endif
};

// The machine's host name.
std::string LocalHostName();
// Every IPv4 address the name resolves to, in the resolver's order, as dotted text.
// A dotted address resolves to itself. Raises SocketError when the name does not resolve.
std::vector<std::string> ResolveIPv4(const std::string& host);
// The PC's own address as peers see it: PMRFACE_HOST_ADDRESS when set, else the first IPv4
// address of the host name. Looked up afresh at every call.
std::string OwnAddress();

}  // namespace pmr::net
