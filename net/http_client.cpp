#include "net/http_client.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "net/buffered_reader.h"
#include "net/http_head.h"

namespace pmr::net {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kReceivePiece = 16384;
constexpr std::size_t kSendPiece = 32768;
// Status and header lines of one reply, "100 Continue" heads included.
constexpr std::size_t kMaxHeadBytes = 256 * 1024;
// An error reply's body only says why; it gets a short wait of its own.
constexpr THTTPClient::Millis kErrorBodyTimeout = 2000ms;

void EncodeFormValues(std::vector<std::string>& lines) {
  for (std::string& line : lines) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq + 1 == line.size()) continue;
    line = line.substr(0, eq + 1) + FormEncode(std::string_view(line).substr(eq + 1));
  }
}

// The lines joined by "&", with a trailing "&" when there are two or more.
std::string FormBody(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  if (lines.size() >= 2) {
    std::string joined;
    joined.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        joined += '&';
        ++i;
      } else {
        joined += text[i];
      }
    }
    text = std::move(joined);
  }
  return std::string(TrimBlanks(text));
}

void AddHeader(std::string& head, std::string_view name, std::string_view value) {
  if (value.empty()) return;
  if (value.find_first_of("\r\n") != std::string_view::npos) {
    throw pmr::Error("Line break in the value of request header " + std::string(name) + ".");
  }
  head.append(name).append(": ").append(value).append("\r\n");
}

[[noreturn]] void BodyTooLarge(std::size_t limit) {
  throw pmr::Error("Reply body exceeds the limit of " + std::to_string(limit) + " bytes.");
}

}  // namespace

// The connection's reads, all bounded by the socket's receive time-out.
class THTTPClient::Reader {
 public:
  Reader(Socket& socket, Millis timeout) : reader_(socket, kReceivePiece), timeout_(timeout) {}

  // One line without its CR LF; nullopt when the peer closes before its LF.
  std::optional<std::string> ReadLine() {
    return reader_.ReadLine(kHeadLineRules, BufferedReader::Wait::SocketTimeout(timeout_));
  }
  // Appends `count` bytes to `out`; false when the peer closes first (what came is kept).
  bool ReadExact(std::size_t count, std::string& out) {
    return reader_.ReadExact(count, out, BufferedReader::Wait::SocketTimeout(timeout_));
  }
  // Appends everything up to the peer's close to `out`, failing past `limit` bytes in all.
  void ReadToClose(std::string& out, std::size_t limit) {
    if (!reader_.ReadToClose(out, limit, BufferedReader::Wait::SocketTimeout(timeout_))) {
      BodyTooLarge(limit);
    }
  }

  bool closed() const { return reader_.closed(); }
  std::size_t received() const { return reader_.received(); }
  bool HasBuffered() const { return reader_.HasBuffered(); }
  void set_timeout(Millis timeout) { timeout_ = timeout; }

 private:
  BufferedReader reader_;
  Millis timeout_;
};

THTTPClient::THTTPClient() = default;

THTTPClient::~THTTPClient() = default;

void THTTPClient::Disconnect() {
  socket_.Close();
  conn_host_.clear();
  conn_port_ = 0;
}

std::string THTTPClient::Post(const std::string& url, std::vector<std::string>& lines) {
  if (request_.ContentType.empty() || EqualsIgnoreCaseAscii(request_.ContentType, "text/html")) {
    request_.ContentType = "application/x-www-form-urlencoded";
  }
  EncodeFormValues(lines);
  const std::string body = FormBody(lines);
  Disconnect();
  return DoRequest("POST", url, "1.0", &body);
}

std::string THTTPClient::Get(const std::string& url) {
  return DoRequest("GET", url, "1.1", nullptr);
}

THTTPClient::Destination THTTPClient::Resolve(const std::string& url) {
  UriParts uri = SplitUri(url);
  std::string protocol = uri.scheme.empty() ? "http" : AsciiLower(uri.scheme);
  Destination to{uri.host, 0, uri.Target()};
  if (to.host.empty()) {
    // A URL without a host goes where the previous request went.
    if (last_host_.empty()) throw pmr::Error("No host in URL " + url);
    if (uri.scheme.empty()) protocol = last_protocol_;
    to.host = last_host_;
    to.port = last_port_;
  }
  if (protocol == "https") throw pmr::Error("HTTPS is not supported: " + url);
  if (protocol != "http") throw pmr::Error("Unsupported protocol " + uri.scheme + " in " + url);
  if (!uri.port.empty()) {
    std::optional<int64_t> number = ParseDecimal(uri.port);
    if (!number || *number < 1 || *number > 65535 || uri.port[0] == '-' || uri.port[0] == '+') {
      throw pmr::Error("Invalid port in URL " + url);
    }
    to.port = static_cast<uint16_t>(*number);
  } else if (to.port == 0) {
    to.port = 80;
  }
  if (to.target.empty() || to.target[0] != '/') {
    to.target = last_path_.substr(0, last_path_.rfind('/') + 1) + to.target;
    if (to.target.empty() || to.target[0] != '/') to.target = "/" + to.target;
  }
  last_protocol_ = protocol;
  last_host_ = to.host;
  last_port_ = to.port;
  last_path_ = to.target.substr(0, to.target.find('?'));
  return to;
}

std::string THTTPClient::DoRequest(const std::string& method, const std::string& url,
                                   const std::string& version, const std::string* body) {
  const auto [host, port, target] = Resolve(url);
  response_ = THTTPClientResponse{};
  request_.ContentLength = body ? static_cast<int64_t>(body->size()) : -1;
  if (version == "1.0" && request_.Connection.empty()) request_.Connection = "keep-alive";

  if (Connected() && (host != conn_host_ || port != conn_port_)) Disconnect();
  // A kept connection with something to read has been closed by the server (or carries
  // bytes that belong to no request of ours): start afresh.
  if (Connected() && socket_.WaitReadable(0ms)) Disconnect();

  std::string head = method + " " + EscapeTarget(target) + " HTTP/" + version + "\r\n";
  AddHeader(head, "Connection", request_.Connection);
  AddHeader(head, "Content-Type", request_.ContentType);
  if (request_.ContentLength >= 0) {
    AddHeader(head, "Content-Length", std::to_string(request_.ContentLength));
  }
  for (const std::string& line : request_.CustomHeaders.Lines()) {
    if (line.find_first_of("\r\n") != std::string::npos) {
      throw pmr::Error("Line break in a custom request header.");
    }
    head += line + "\r\n";
  }
  AddHeader(head, "Host", port == 80 ? host : host + ":" + std::to_string(port));
  AddHeader(head, "Accept", request_.Accept);
  AddHeader(head, "User-Agent", request_.UserAgent);
  AddHeader(head, "Cookie", CookieHeader(host));
  head += "\r\n";

  for (bool reused = Connected();; reused = false) {
    if (!Connected()) {
      socket_ = Socket::Connect(host, port, connect_timeout_);
      conn_host_ = host;
      conn_port_ = port;
    }
    Reader reader(socket_, read_timeout_);
    try {
      return Exchange(reader, head, body, version);
    } catch (const pmr::Error& e) {
      Disconnect();
      // A server may close an idle kept connection just as a request goes out. Nothing of
      // the request was answered then, so it goes once more on a new connection (only gets
      // reuse connections).
      const auto* socket_error = dynamic_cast<const SocketError*>(&e);
      const bool dropped = dynamic_cast<const ConnectionClosedError*>(&e) ||
                           (socket_error && socket_error->IsAbortedOrReset());
      if (!reused || !dropped || reader.received() > 0) throw;
    } catch (...) {
      Disconnect();
      throw;
    }
  }
}

std::string THTTPClient::Exchange(Reader& reader, const std::string& head, const std::string* body,
                                  const std::string& version) {
  socket_.SetReceiveTimeout(read_timeout_);
  socket_.SetSendTimeout(read_timeout_);
  socket_.SendAll(head);
  if (body) {
    for (std::size_t at = 0; at < body->size(); at += kSendPiece) {
      socket_.SendAll(std::string_view(*body).substr(at, kSendPiece));
    }
  }

  ReadReplyHead(reader);
  const int code = response_.ResponseCode;
  const bool redirect =
      (code >= 300 && code < 400 && code != 304) || response_.RawHeaders.HasName("Location");
  if (redirect || code < 200 || code >= 300) {
    std::string error_body;
    if (code != 204) {
      try {
        socket_.SetReceiveTimeout(kErrorBodyTimeout);
        reader.set_timeout(kErrorBodyTimeout);
        ReadBody(reader, /*strict=*/false, error_body);
      } catch (const pmr::Error&) {
        // The status is the error; whatever part of the body came is enough.
      }
    }
    throw ProtocolError(code, response_.ResponseText, std::move(error_body));
  }

  std::string result;
  if (code != 204) ReadBody(reader, /*strict=*/true, result);

  bool keep;
  if (version == "1.0") {
    keep = EqualsIgnoreCaseAscii(response_.Connection, "keep-alive") ||
           EqualsIgnoreCaseAscii(response_.ProxyConnection, "keep-alive");
  } else if (response_.ResponseText.starts_with("HTTP/1.0")) {
    // An HTTP/1.0 server closes after its reply unless it names keep-alive; reusing the
    // connection would race that close.
    keep = EqualsIgnoreCaseAscii(response_.Connection, "keep-alive");
  } else {
    keep = !EqualsIgnoreCaseAscii(response_.Connection, "close") &&
           !EqualsIgnoreCaseAscii(response_.ProxyConnection, "close");
  }
  if (!keep || reader.closed() || reader.HasBuffered()) Disconnect();
  return result;
}

void THTTPClient::ReadReplyHead(Reader& reader) {
  ReplyHeadParser head(response_, kMaxHeadBytes);
  for (;;) {
    std::optional<std::string> line = reader.ReadLine();
    if (!line) throw ConnectionClosedError();
    ReplyHeadParser::Status status = head.Feed(std::move(*line));
    if (status == ReplyHeadParser::Status::kFailed) throw pmr::Error(head.error());
    if (status == ReplyHeadParser::Status::kMore) continue;
    StoreCookies();
    if (status == ReplyHeadParser::Status::kComplete) return;
  }
}

void THTTPClient::ReadBody(Reader& reader, bool strict, std::string& body) {
  auto truncated = [&]() {
    if (strict) {
      throw pmr::Error("Connection closed after " + std::to_string(body.size()) +
                       " bytes of the reply body.");
    }
  };
  if (response_.ContentLength > 0) {
    if (static_cast<uint64_t>(response_.ContentLength) > max_body_) BodyTooLarge(max_body_);
    if (!reader.ReadExact(static_cast<std::size_t>(response_.ContentLength), body)) truncated();
  } else if (ContainsIgnoreCaseAscii(response_.TransferEncoding, "chunked")) {
    for (;;) {
      std::optional<std::string> line = reader.ReadLine();
      if (!line) return truncated();
      std::optional<uint64_t> size = ParseChunkSize(*line);
      if (!size) throw pmr::Error("Invalid chunk size in the reply: " + *line);
      if (*size == 0) break;
      if (*size > max_body_ - body.size()) BodyTooLarge(max_body_);
      if (!reader.ReadExact(static_cast<std::size_t>(*size), body) || !reader.ReadLine()) {
        return truncated();
      }
    }
    // Trailer lines up to the empty line; a peer that closes here has sent the whole body.
    for (std::optional<std::string> line = reader.ReadLine(); line && !line->empty();
         line = reader.ReadLine()) {
    }
  } else if (!response_.HasContentLength) {
    reader.ReadToClose(body, max_body_);
  }
}

void THTTPClient::StoreCookies() {
  for (auto& [name, value] : ReplyCookies(response_.RawHeaders)) {
    const std::string& cookie_name = name;
    auto found = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
      return EqualsIgnoreCaseAscii(c.host, last_host_) && c.name == cookie_name;
    });
    if (found != cookies_.end()) {
      found->value = std::move(value);
    } else {
      cookies_.push_back({last_host_, std::move(name), std::move(value)});
    }
  }
}

std::string THTTPClient::CookieHeader(const std::string& host) const {
  std::string header;
  for (const Cookie& cookie : cookies_) {
    if (!EqualsIgnoreCaseAscii(cookie.host, host)) continue;
    if (!header.empty()) header += "; ";
    header += cookie.name + "=" + cookie.value;
  }
  return header;
}

}  // namespace pmr::net
