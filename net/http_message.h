#pragma once

// HTTP messages as byte strings: the header list, the request the server fills and the response a handler answers through.
// No character-set conversion happens here: every text is the bytes as they came or go.
// Objects are not synchronised; each belongs to one connection thread at a time.
// Failures raise HttpServerError with the system's message texts.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "net/url.h"

namespace pmr::net {

// Raised by the response writer and the server's request loop ("Request head too large.",
// "Header has already been written.", ...).
class HttpServerError : public pmr::Error {
 public:
  using pmr::Error::Error;
};

// Ordered "name: value" lines. Names compare ignoring ASCII case; the name is the text
// before a line's first ":".
class THeaderList {
 public:
  // Appends `line` as it stands.
  void Add(std::string line);
  // Appends "name: value".
  void AddValue(std::string_view name, std::string_view value);
  void Delete(std::size_t index);
  void Clear() { lines_.clear(); }

  std::size_t Count() const { return lines_.size(); }
  bool Empty() const { return lines_.empty(); }
  const std::string& operator[](std::size_t index) const { return lines_[index]; }
  const std::vector<std::string>& Lines() const { return lines_; }

  // The text before the first ":" of line `index` (the whole line when it has none).
  std::string Names(std::size_t index) const;
  // Index of the first line named `name`, or -1.
  int IndexOfName(std::string_view name) const;
  bool HasName(std::string_view name) const { return IndexOfName(name) >= 0; }
  // Value of the first line named `name`: the text after its first ":", trimmed, with each
  // following line that begins with a blank or tab appended after one space. Empty if absent.
  std::string Values(std::string_view name) const;
  // Replaces the first line named `name` (and its continuation lines) in place by
  // "name: value", or appends it; an empty `value` deletes that line instead.
  void SetValue(std::string_view name, std::string_view value);

  // Every line followed by CR LF.
  std::string Text() const;

 private:
  // Index just past line `index` and the continuation lines that follow it.
  std::size_t EndOfEntry(std::size_t index) const;

  std::vector<std::string> lines_;
};

// The reason phrase of a status code ("Unknown Response Code" for codes not in the table).
std::string_view ReasonPhrase(int code);

// Standard request header values as the server read them.
struct THTTPRequestInfo {
  bool AuthExists = false;
  std::vector<std::string> Cookies;
  std::vector<std::string> Params;
  std::string RawHTTPCommand;
  std::string RemoteIP;
  std::string Document;
  std::string Command;
  std::string Version;
  std::string AuthUsername;
  std::string AuthPassword;
  std::string UnparsedParams;
  std::string QueryParams;
  std::string FormParams;

  THeaderList RawHeaders;
  std::string ContentType;
  std::int64_t ContentLength = -1;
  bool HasContentLength() const { return ContentLength >= 0; }
  std::string Connection;
  std::string Host;
  std::string Accept;
  std::string UserAgent;
  std::string Referer;
};

// Where a response's bytes go. Write sends all of `bytes` or raises.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  virtual void Write(std::string_view bytes) = 0;
};

// The answer to one request. Bound to a sink (not owned) that must outlive the writes.
class THTTPResponseInfo {
 public:
  static constexpr std::size_t kStreamPiece = 32768;

  explicit THTTPResponseInfo(ResponseSink* sink = nullptr) : sink_(sink) {}

  // Sets ResponseNo and ResponseText from the table; 404 also sets CloseConnection.
  void SetResponseNo(int code);

  // Sends the status line and the header lines in one write. Raises
  // "Header has already been written." on a second call.
  void WriteHeader();
  // Writes the header first if needed, then the body: ContentText, else ContentStream in
  // pieces of at most kStreamPiece bytes ("No data to read." when the stream delivers fewer
  // bytes than its size), else a small HTML page. Then drops the body (the stream is
  // released when FreeContentStream, else only forgotten: its owner keeps it).
  void WriteContent();

  bool KeepAlive() const { return !CloseConnection; }

  int ResponseNo = 200;
  std::string ResponseText = "OK";
  std::string ContentType = "text/html";
  std::string ContentText;
  std::unique_ptr<std::istream> ContentStream;
  bool FreeContentStream = true;
  std::int64_t ContentLength = -1;
  bool CloseConnection = true;
  std::string Server = "pmrface/1.0";
  std::string ServerSoftware;
  THeaderList CustomHeaders;
  THeaderList RawHeaders;
  std::string ContentVersion;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::string CacheControl;
  std::string Date;
  std::string Expires;
  std::string Pragma;
  std::string Location;
  std::string LastModified;
  std::string AuthRealm;
  bool HeaderHasBeenWritten = false;

 private:
  void Send(std::string_view bytes);

  ResponseSink* sink_;
};

// Size of a seekable stream (its position is left at the start), or -1 when it cannot seek.
std::int64_t StreamSize(std::istream& stream);

}  // namespace pmr::net
