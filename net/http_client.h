#pragma once

// Blocking HTTP/1.x client for form posts and page fetches; the reply body comes back as the
// bytes received, with no character-set conversion. A client is used by one thread at a time
// and owns its connection and cookies. Failures raise SocketError (transport, time-outs),
// ProtocolError (a status the client does not accept) or pmr::Error (malformed replies).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "net/http_head.h"
#include "net/http_message.h"
#include "net/socket.h"

namespace pmr::net {

// A reply whose status the client does not accept: the message is the status line as
// received, the code its numeric status (-1 when not a number), the body what came with it.
class ProtocolError : public pmr::Error {
 public:
  ProtocolError(int code, const std::string& status_line, std::string body)
      : pmr::Error(status_line), code_(code), body_(std::move(body)) {}

  int code() const { return code_; }
  const std::string& body() const { return body_; }

 private:
  int code_;
  std::string body_;
};

// The peer closed the connection before a complete reply head.
class ConnectionClosedError : public pmr::Error {
 public:
  ConnectionClosedError() : pmr::Error("Connection Closed Gracefully.") {}
};

// The request header values a caller may set before Post or Get.
struct THTTPClientRequest {
  std::string ContentType = "text/html";
  // Set by each request: the body size for a post, -1 (no header) for a get.
  int64_t ContentLength = -1;
  std::string Accept = "text/html, */*";
  std::string UserAgent = "Mozilla/3.0 (compatible; pmrface)";
  // Empty: no header. Becomes "keep-alive" with the first HTTP/1.0 request and stays so.
  std::string Connection;
  // Whole "name: value" lines, sent after Content-Length and before Host.
  THeaderList CustomHeaders;
};

class THTTPClient {
 public:
  using Millis = std::chrono::milliseconds;

  static constexpr std::size_t kMaxLineLength = kMaxHeadLine;

  THTTPClient();
  ~THTTPClient();
  THTTPClient(const THTTPClient&) = delete;
  THTTPClient& operator=(const THTTPClient&) = delete;

  // Form-encodes the values of `lines` (name=value) in place and posts them as the body,
  // always as HTTP/1.0 on a fresh connection. Returns the reply body.
  std::string Post(const std::string& url, std::vector<std::string>& lines);
  // Gets `url` as HTTP/1.1, reusing a kept-alive connection to the same host and port (and
  // sending once more on a new one when the server drops the reused one unanswered).
  std::string Get(const std::string& url);

  THTTPClientRequest& Request() { return request_; }
  const THTTPClientResponse& Response() const { return response_; }

  // Zero waits without limit. Defaults: 10 s to connect, 30 s for every read and write.
  void SetConnectTimeout(Millis timeout) { connect_timeout_ = timeout; }
  void SetReadTimeout(Millis timeout) { read_timeout_ = timeout; }
  // Largest reply body accepted (default 64 MiB); a larger one fails.
  void SetMaxBodySize(std::size_t bytes) { max_body_ = bytes; }

  bool Connected() const { return socket_.valid(); }
  void Disconnect();

 private:
  struct Cookie {
    std::string host;
    std::string name;
    std::string value;
  };
  struct Destination {
    std::string host;
    uint16_t port;
    std::string target;  // path and query, as sent on the request line (before escaping)
  };
  class Reader;

  // Where `url` goes, taking what it leaves out from the previous request.
  Destination Resolve(const std::string& url);

  std::string DoRequest(const std::string& method, const std::string& url,
                        const std::string& version, const std::string* body);
  // Sends the request on the open connection and reads the reply; the body when accepted.
  std::string Exchange(Reader& reader, const std::string& head, const std::string* body,
                       const std::string& version);
  void ReadReplyHead(Reader& reader);
  void StoreCookies();
  std::string CookieHeader(const std::string& host) const;
  // Appends the body as the reply head describes it to `body`; `strict` fails when the
  // connection closes before the body is complete.
  void ReadBody(Reader& reader, bool strict, std::string& body);

  THTTPClientRequest request_;
  THTTPClientResponse response_;
  Socket socket_;
  std::string conn_host_;
  uint16_t conn_port_ = 0;
  // Where the previous request went, for URLs without a host or with a relative path.
  std::string last_protocol_;
  std::string last_host_;
  uint16_t last_port_ = 0;
  std::string last_path_;
  std::vector<Cookie> cookies_;
  Millis connect_timeout_{10000};
  Millis read_timeout_{30000};
  std::size_t max_body_ = 64u << 20;
};

}  // namespace pmr::net
