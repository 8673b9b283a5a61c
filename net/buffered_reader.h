#pragma once

// Buffered reads from a connected Socket: lines with a length cap, exact runs of bytes, and
// everything up to the peer's close. The bytes past what a call returns stay in the buffer for
// the next call; a buffer handed in by the caller keeps them even past the reader's life, so a
// short-lived reader can serve a long-lived connection. A reader belongs to one thread.
// Time-outs raise SocketError (IsTimeout); an over-long line raises LineTooLongError.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "net/socket.h"

namespace pmr::net {

class LineTooLongError : public pmr::Error {
 public:
  LineTooLongError() : pmr::Error("Max line length exceeded.") {}
};

// Where a line ends and how long it may be.
struct LineRules {
  // Longest line, without its line end.
  std::size_t max_length = 16384;
  // Drop one CR before the LF. The cap then also allows one byte more for a CR still on its way
  // while the line is unfinished.
  bool strip_cr = true;
};

// The first line of `bytes` up to its LF; nullopt while no LF has come. `scanned` bytes at the
// start are known to hold no LF. `consumed` becomes the size of the line with its line end.
// Raises LineTooLongError for a line, finished or not, over the cap.
std::optional<std::string_view> FirstLine(std::string_view bytes, const LineRules& rules,
                                          std::size_t& consumed, std::size_t scanned = 0);

class BufferedReader {
 public:
  using Clock = std::chrono::steady_clock;
  using Millis = std::chrono::milliseconds;

  // How long a read may wait for the peer's bytes.
  class Wait {
   public:
    // Until a fixed time for the whole read, however the bytes trickle in.
    static Wait Until(Clock::time_point deadline) { return {Kind::kUntil, deadline, {}}; }
    // At most `idle` for each piece.
    static Wait Idle(Millis idle) { return {Kind::kIdle, {}, idle}; }
    // As long as the socket's own receive time-out lets it; `timeout` is that time-out, which
    // the error names.
    static Wait SocketTimeout(Millis timeout) { return {Kind::kSocket, {}, timeout}; }

   private:
    friend class BufferedReader;
    enum class Kind { kUntil, kIdle, kSocket };
    Wait(Kind kind, Clock::time_point deadline, Millis millis)
        : kind_(kind), deadline_(deadline), millis_(millis) {}
    Kind kind_;
    Clock::time_point deadline_;
    Millis millis_;
  };

  // Receives pieces of at most `piece` bytes. The second form keeps the buffered bytes in
  // `storage`, which must outlive the reader.
  explicit BufferedReader(Socket& socket, std::size_t piece = 16384);
  BufferedReader(Socket& socket, std::string& storage, std::size_t piece = 16384);
  ~BufferedReader();
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  // The next line without its line end; nullopt when the peer closes before its LF.
  std::optional<std::string> ReadLine(const LineRules& rules, Wait wait);
  // Appends `count` bytes to `out`; false when the peer closes first (what came is kept).
  bool ReadExact(std::size_t count, std::string& out, Wait wait);
  // Appends everything up to the peer's close to `out`; false as soon as `out` holds more than
  // `limit` bytes.
  bool ReadToClose(std::string& out, std::size_t limit, Wait wait);
  // Discards what is buffered and whatever comes until the peer closes or `deadline` passes.
  // Never raises.
  void Drain(Clock::time_point deadline);

  bool HasBuffered() const { return start_ < buffer_.size(); }
  // The peer has closed its end.
  bool closed() const { return closed_; }
  // Bytes received by this reader so far.
  std::size_t received() const { return received_; }

 private:
  std::size_t Available() const { return buffer_.size() - start_; }
  void Consume(std::size_t count);
  // Receives one piece; false when the peer closed.
  bool Fill(const Wait& wait);

  Socket& socket_;
  std::string own_;
  std::string& buffer_;
  std::size_t piece_;
  std::size_t start_ = 0;    // bytes before it are consumed
  std::size_t scanned_ = 0;  // bytes before it hold no LF
  std::size_t received_ = 0;
  bool closed_ = false;
};

}  // namespace pmr::net
