#include "net/buffered_reader.h"

#include <algorithm>

namespace pmr::net {

std::optional<std::string_view> FirstLine(std::string_view bytes, const LineRules& rules,
                                          std::size_t& consumed, std::size_t scanned) {
  std::size_t lf = bytes.find('\n', std::min(scanned, bytes.size()));
  if (lf == std::string_view::npos) {
    // One byte more for the CR that may still precede the LF.
    if (bytes.size() > rules.max_length + (rules.strip_cr ? 1 : 0)) throw LineTooLongError();
    return std::nullopt;
  }
  std::size_t end = rules.strip_cr && lf > 0 && bytes[lf - 1] == '\r' ? lf - 1 : lf;
  if (end > rules.max_length) throw LineTooLongError();
  consumed = lf + 1;
  return bytes.substr(0, end);
}

BufferedReader::BufferedReader(Socket& socket, std::size_t piece)
    : socket_(socket), buffer_(own_), piece_(piece) {}

BufferedReader::BufferedReader(Socket& socket, std::string& storage, std::size_t piece)
    : socket_(socket), buffer_(storage), piece_(piece) {}

BufferedReader::~BufferedReader() { buffer_.erase(0, start_); }

std::optional<std::string> BufferedReader::ReadLine(const LineRules& rules, Wait wait) {
  for (;;) {
    std::size_t consumed = 0;
    std::optional<std::string_view> line =
        FirstLine(std::string_view(buffer_).substr(start_), rules, consumed, scanned_ - start_);
    if (line) {
      std::string result(*line);
      Consume(consumed);
      return result;
    }
    scanned_ = buffer_.size();
    if (!Fill(wait)) return std::nullopt;
  }
}

bool BufferedReader::ReadExact(std::size_t count, std::string& out, Wait wait) {
  while (count > 0) {
    if (!HasBuffered() && !Fill(wait)) return false;
    std::size_t take = std::min(count, Available());
    out.append(buffer_, start_, take);
    Consume(take);
    count -= take;
  }
  return true;
}

bool BufferedReader::ReadToClose(std::string& out, std::size_t limit, Wait wait) {
  for (;;) {
    out.append(buffer_, start_);
    Consume(Available());
    if (out.size() > limit) return false;
    if (!Fill(wait)) return true;
  }
}

void BufferedReader::Drain(Clock::time_point deadline) {
  buffer_.clear();
  start_ = scanned_ = 0;
  try {
    while (Fill(Wait::Until(deadline))) buffer_.clear();
  } catch (...) {
    // Time-outs and resets end the drain; nothing more was expected.
  }
}

void BufferedReader::Consume(std::size_t count) {
  start_ += count;
  scanned_ = start_;
}

bool BufferedReader::Fill(const Wait& wait) {
  if (closed_) return false;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = scanned_ = 0;
  } else if (start_ > piece_) {
    buffer_.erase(0, start_);
    scanned_ -= start_;
    start_ = 0;
  }
  // Received here and appended: growing the buffer by a piece first would clear the whole
  // piece on every receive, however few bytes come.
  char scratch[32768];
  const std::size_t want = std::min(piece_, sizeof scratch);
  std::optional<std::size_t> got;
  if (wait.kind_ != Wait::Kind::kSocket) {
    // Most often the bytes are there already; a wait is needed only when none are.
    got = socket_.TryReceive(scratch, want);
    if (!got) {
      auto deadline =
          wait.kind_ == Wait::Kind::kUntil ? wait.deadline_ : Clock::now() + wait.millis_;
      auto left = std::chrono::ceil<Millis>(deadline - Clock::now());
      if (left.count() <= 0 || !socket_.WaitReadable(left)) {
        throw SocketError(0, SocketError::Kind::kTimeout, "Read timed out.");
      }
    }
  }
  if (!got) {
    try {
      got = socket_.Receive(scratch, want);
    } catch (const SocketError& e) {
      if (!e.IsTimeout() || wait.kind_ != Wait::Kind::kSocket) throw;
      throw SocketError(e.code(), e.kind(),
                        "Read timed out after " + std::to_string(wait.millis_.count()) + " ms.");
    }
  }
  const std::size_t n = *got;
  buffer_.append(scratch, n);
  if (n == 0) {
    closed_ = true;
    return false;
  }
  received_ += n;
  return true;
}

}  // namespace pmr::net
