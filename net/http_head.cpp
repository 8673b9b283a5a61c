#include "net/http_head.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "base/text.h"
#include "net/base64.h"
#include "net/url.h"

namespace pmr::net {
namespace {

bool IsServedMethod(const std::string& method) {
  return method == "GET" || method == "POST" || method == "HEAD";
}

// Cuts lines off `bytes` and feeds them while `wants_more` says the parser wants them.
template <typename Parser, typename Status>
Status FeedLines(Parser& parser, std::string_view bytes, std::size_t& consumed,
                 std::string& error, bool (*wants_more)(Status)) {
  consumed = 0;
  for (;;) {
    std::size_t size = 0;
    std::optional<std::string_view> line;
    try {
      line = FirstLine(bytes.substr(consumed), kHeadLineRules, size);
    } catch (const LineTooLongError& e) {
      error = e.what();
      return Status::kFailed;
    }
    if (!line) return Status::kMore;
    consumed += size;
    Status status = parser.Feed(std::string(*line));
    if (!wants_more(status)) return status;
  }
}

}  // namespace

std::optional<int64_t> ParseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::int64_t ParseContentLength(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
    return -1;
  }
  return value;
}

// --- Request head ---

RequestHeadParser::Status RequestHeadParser::Fail(std::string message) {
  error_ = std::move(message);
  return Status::kFailed;
}

RequestHeadParser::Status RequestHeadParser::Feed(std::string line) {
  if (!have_command_) {
    have_command_ = true;
    std::size_t last_space = line.rfind(' ');
    if (last_space == std::string::npos) return Fail("Error in parsing command.");
    request_.Version = line.substr(last_space + 1);
    std::string_view before(line.data(), last_space);
    std::size_t first_space = before.find(' ');
    request_.Command = AsciiUpper(before.substr(0, first_space));
    if (first_space != std::string_view::npos) uri_ = before.substr(first_space + 1);
    if (!IsServedMethod(request_.Command)) return Status::kUnserved;
    head_bytes_ = line.size();
    request_.RawHTTPCommand = std::move(line);
    return Status::kMore;
  }
  if (line.empty()) {
    Complete();
    return Status::kComplete;
  }
  head_bytes_ += line.size() + 2;
  if (head_bytes_ > max_head_bytes_) return Fail("Request head too large.");
  if (line.starts_with("..")) line.erase(0, 1);
  request_.RawHeaders.Add(std::move(line));
  return Status::kMore;
}

RequestHeadParser::Status RequestHeadParser::FeedHead(std::string_view bytes,
                                                      std::size_t& consumed) {
  return FeedLines(*this, bytes, consumed, error_,
                   +[](Status status) { return status == Status::kMore; });
}

void RequestHeadParser::Complete() {
  THTTPRequestInfo& request = request_;
  const THeaderList& headers = request.RawHeaders;
  request.ContentType = headers.Values("Content-Type");
  request.ContentLength =
      headers.HasName("Content-Length") ? ParseContentLength(headers.Values("Content-Length")) : -1;
  request.Connection = headers.Values("Connection");
  request.Accept = headers.Values("Accept");
  request.UserAgent = headers.Values("User-Agent");
  request.Referer = headers.Values("Referer");
  request.Host = headers.Values("Host");

  if (std::size_t question = uri_.find('?'); question != std::string::npos) {
    request.QueryParams = uri_.substr(question + 1);
    uri_.resize(question);
  }

  for (std::size_t i = 0; i < headers.Count(); ++i) {
    if (headers[i].find(':') == std::string::npos ||
        !EqualsIgnoreCaseAscii(headers.Names(i), "Cookie")) {
      continue;
    }
    std::string_view rest =
        TrimBlanks(std::string_view(headers[i]).substr(headers[i].find(':') + 1));
    while (!rest.empty()) {
      std::size_t semicolon = rest.find(';');
      std::string_view cookie = TrimBlanks(rest.substr(0, semicolon));
      if (!cookie.empty()) request.Cookies.emplace_back(cookie);
      rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    }
  }

  request.Document = DecodeDocument(uri_);
  if (!headers.HasName("Host")) {
    if (std::string uri_host = SplitUri(uri_).host; !uri_host.empty()) request.Host = uri_host;
  }
}

bool RequestHeadParser::Finish(std::string body, bool parse_params) {
  THTTPRequestInfo& request = request_;
  request.FormParams = std::move(body);
  request.UnparsedParams = request.FormParams;
  if (!request.QueryParams.empty()) {
    if (request.UnparsedParams.empty()) {
      request.UnparsedParams = request.QueryParams;
    } else {
      request.UnparsedParams += "\r\n" + request.QueryParams;
    }
  }
  if (parse_params) {
    request.Params = AsciiLower(request.ContentType) == "application/x-www-form-urlencoded"
                         ? DecodeParams(request.UnparsedParams)
                         : DecodeParams(request.QueryParams);
  }

  if (request.RawHeaders.HasName("Authorization")) {
    request.AuthExists = true;
    std::string value = request.RawHeaders.Values("Authorization");
    std::size_t blank = value.find(' ');
    std::string_view scheme = std::string_view(value).substr(0, blank);
    if (!EqualsIgnoreCaseAscii(scheme, "Basic")) {
      error_ = "Unsupported authorization scheme.";
      return false;
    }
    std::string_view encoded =
        blank == std::string::npos ? std::string_view() : std::string_view(value).substr(blank + 1);
    std::string credentials;
    try {
      credentials = DecodeText(TrimBlanks(encoded));
    } catch (const Base64Error& e) {
      error_ = e.what();
      return false;
    }
    std::size_t colon = credentials.find(':');
    request.AuthUsername = credentials.substr(0, colon);
    if (colon != std::string::npos) request.AuthPassword = credentials.substr(colon + 1);
  }
  return true;
}

// --- Reply head ---

int ParseStatusCode(std::string_view line) {
  std::size_t start = line.find(' ');
  if (start == std::string_view::npos) return -1;
  start = line.find_first_not_of(' ', start);
  if (start == std::string_view::npos) return -1;
  std::size_t end = line.find(' ', start);
  std::string_view word = line.substr(start, end == std::string_view::npos ? end : end - start);
  if (word.size() > 9 || word.empty() || word[0] == '-' || word[0] == '+') return -1;
  std::optional<int64_t> code = ParseDecimal(word);
  return code ? static_cast<int>(*code) : -1;
}

ReplyHeadParser::Status ReplyHeadParser::Feed(std::string line) {
  head_bytes_ += line.size() + 2;
  if (head_bytes_ > max_head_bytes_) {
    error_ = "Reply head exceeds " + std::to_string(max_head_bytes_) + " bytes.";
    return Status::kFailed;
  }
  if (!in_head_) {
    in_head_ = true;
    response_ = THTTPClientResponse{};
    response_.ResponseCode = ParseStatusCode(line);
    response_.ResponseText = std::move(line);
    return Status::kMore;
  }
  if (!line.empty()) {
    response_.RawHeaders.Add(std::move(line));
    return Status::kMore;
  }
  in_head_ = false;
  const THeaderList& headers = response_.RawHeaders;
  response_.HasContentLength = headers.HasName("Content-Length");
  response_.ContentLength = ParseDecimal(headers.Values("Content-Length")).value_or(-1);
  response_.Connection = headers.Values("Connection");
  response_.ProxyConnection = headers.Values("Proxy-Connection");
  response_.Location = headers.Values("Location");
  response_.TransferEncoding = headers.Values("Transfer-Encoding");
  return response_.ResponseCode == 100 ? Status::kInterim : Status::kComplete;
}

ReplyHeadParser::Status ReplyHeadParser::FeedHead(std::string_view bytes, std::size_t& consumed) {
  return FeedLines(*this, bytes, consumed, error_, +[](Status status) {
    return status == Status::kMore || status == Status::kInterim;
  });
}

// The size before any extension (";...") or blank; nullopt when that is not hexadecimal.
std::optional<uint64_t> ParseChunkSize(std::string_view line) {
  std::string_view digits = line.substr(0, line.find_first_of("; \t"));
  if (digits.empty() || digits.size() > 15) return std::nullopt;
  uint64_t size = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    size = size * 16 + static_cast<uint64_t>(digit);
  }
  return size;
}

std::vector<std::pair<std::string, std::string>> ReplyCookies(const THeaderList& headers) {
  std::vector<std::pair<std::string, std::string>> cookies;
  for (std::size_t i = 0; i < headers.Count(); ++i) {
    if (headers[i].empty() || headers[i][0] == ' ' || headers[i][0] == '\t') continue;
    std::string name = std::string(TrimBlanks(headers.Names(i)));
    if (!EqualsIgnoreCaseAscii(name, "Set-Cookie") && !EqualsIgnoreCaseAscii(name, "Set-Cookie2")) {
      continue;
    }
    std::string_view text = headers[i];
    text.remove_prefix(std::min(text.size(), text.find(':') + 1));
    // Attributes (path, expiry, ...) are not kept: the pair goes back to the same host.
    std::string_view pair = TrimBlanks(text.substr(0, text.find(';')));
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    std::string cookie_name(TrimBlanks(pair.substr(0, eq)));
    if (cookie_name.empty()) continue;
    cookies.emplace_back(std::move(cookie_name), std::string(TrimBlanks(pair.substr(eq + 1))));
  }
  return cookies;
}

}  // namespace pmr::net
