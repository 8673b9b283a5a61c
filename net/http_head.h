#pragma once

// HTTP heads from bytes, with no socket: the request head as the server reads it and the reply
// head as the client reads it, each fed line by line (without the line end) so that a reader
// can stop at the first line that decides. The server and the client only move the bytes;
// what a head means is decided here. Objects are not synchronised.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/buffered_reader.h"
#include "net/http_message.h"

namespace pmr::net {

// Longest line of a head, without its line end.
inline constexpr std::size_t kMaxHeadLine = 16384;

// A decimal integer of at most 18 digits with an optional sign; nullopt when not one.
std::optional<int64_t> ParseDecimal(std::string_view text);
// The value of a request's Content-Length: blanks around it ignored, an optional "+"; -1 when
// it is not a decimal integer (negative values included).
std::int64_t ParseContentLength(std::string_view text);

// A request head as the server reads it.
class RequestHeadParser {
 public:
  enum class Status {
    kMore,      // the next line is wanted
    kComplete,  // the empty line ended the head
    kUnserved,  // a method other than GET, POST and HEAD: the connection ends unanswered
    kFailed,    // error() says why; the connection ends unanswered
  };

  // A head whose lines, counted with CR LF after each header line, exceed `max_head_bytes`
  // fails.
  explicit RequestHeadParser(std::size_t max_head_bytes) : max_head_bytes_(max_head_bytes) {}

  // The request line first, then one header line at a time. Header lines starting ".." lose
  // one dot. Nothing more is wanted after a status other than kMore.
  Status Feed(std::string line);
  // Cuts the head at the start of `bytes` into lines and feeds them until the parser decides.
  // Returns the last status (kMore when the bytes end first); `consumed` is what was fed.
  Status FeedHead(std::string_view bytes, std::size_t& consumed);
  // After kComplete: takes the body and sets what follows from it (the form and the unparsed
  // parameters, Params when `parse_params`) and the credentials. False (error() says why)
  // for an authorization scheme other than Basic or credentials that are not Base64.
  bool Finish(std::string body, bool parse_params);

  const std::string& error() const { return error_; }
  // After kComplete: the command, version, headers and their standard values, cookies, query,
  // document and host. Finish adds the rest; RemoteIP is left to the server.
  THTTPRequestInfo& request() { return request_; }

 private:
  Status Fail(std::string message);
  void Complete();

  std::size_t max_head_bytes_;
  std::size_t head_bytes_ = 0;
  bool have_command_ = false;
  std::string uri_;
  std::string error_;
  THTTPRequestInfo request_;
};

// The head of the last reply a client read (of the final reply after any "100 Continue").
struct THTTPClientResponse {
  std::string ResponseText;  // the status line as received, without CR LF
  int ResponseCode = -1;     // second word of the status line, -1 when not a number
  THeaderList RawHeaders;
  bool HasContentLength = false;  // a Content-Length line was present
  int64_t ContentLength = -1;     // -1 when absent or not a number
  std::string Connection;
  std::string ProxyConnection;
  std::string Location;
  std::string TransferEncoding;
};

// A reply head, and the "100 Continue" heads before it, into a response owned by the caller.
class ReplyHeadParser {
 public:
  enum class Status {
    kMore,      // the next line is wanted
    kInterim,   // a "100 Continue" head ended; the reply's own head comes next
    kComplete,  // the reply's head ended
    kFailed,    // error() says why
  };

  // All the heads' lines together, counted with CR LF, may hold `max_head_bytes`.
  ReplyHeadParser(THTTPClientResponse& response, std::size_t max_head_bytes)
      : response_(response), max_head_bytes_(max_head_bytes) {}

  // A status line starts each head afresh (the response is cleared first).
  Status Feed(std::string line);
  // Cuts the heads at the start of `bytes` into lines and feeds them until the reply's own head
  // ends or fails. Returns the last status (kMore when the bytes end first); `consumed` is what
  // was fed.
  Status FeedHead(std::string_view bytes, std::size_t& consumed);
  const std::string& error() const { return error_; }

 private:
  THTTPClientResponse& response_;
  std::size_t max_head_bytes_;
  std::size_t head_bytes_ = 0;
  bool in_head_ = false;
  std::string error_;
};

// The second word of a status line as a number; -1 when it is not one.
int ParseStatusCode(std::string_view line);

// The size of a chunk from its size line: the hexadecimal number before any extension (";...")
// or blank, at most 15 digits; nullopt when that is not one.
std::optional<uint64_t> ParseChunkSize(std::string_view line);

// Name and value of each Set-Cookie and Set-Cookie2 line (attributes dropped), in order.
std::vector<std::pair<std::string, std::string>> ReplyCookies(const THeaderList& headers);

// The line rules of both heads: LF ends a line, one CR before it is dropped, and a line over
// kMaxHeadLine bytes fails the head with "Max line length exceeded.".
inline constexpr LineRules kHeadLineRules{kMaxHeadLine, /*strip_cr=*/true};

}  // namespace pmr::net
